// A minimal daemon on the shared skeleton, driven by the system tests.
//   PROBE_FAULT=segv|abort  fault on the second pass
//   PROBE_FAULT=abort-stuck  the same abort, with every allocation blocking from then on (as
//                            after a fault inside the allocator that holds its lock)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log.h"
#include "skeleton.h"

namespace {
std::atomic<bool> allocatorStuck{false};
}  // namespace

void* operator new(std::size_t size) {
    while (allocatorStuck.load())
        ::pause();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

class Probe {
  public:
    void Run() {
        const char* fault = std::getenv("PROBE_FAULT");
        running = true;
        for (int pass = 1; running; ++pass) {
            LOGI << "pass " << pass;
            if (pass == 2 && fault != nullptr)
                Fault(fault);
            skeleton::Sleep(std::chrono::milliseconds(100));
        }
    }
    void Stop() { running = false; }

  private:
    static void Fault(const char* kind) {
        if (std::strcmp(kind, "abort-stuck") == 0)
            allocatorStuck = true;
        if (std::strncmp(kind, "abort", 5) == 0)
            std::abort();
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }

    std::atomic<bool> running{false};
};

logging::Setup logSetup("probe.log", logging::info);
Probe probe;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    probe.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "probe Start : " << skeleton::PackageVersion("probe");
    probe.Run();
    LOGI << "Close";
    return 0;
}
