// A minimal daemon on the shared skeleton, driven by the system tests.
//   PROBE_FAULT=segv|abort  fault on the second pass
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "skeleton.h"

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
        if (std::strcmp(kind, "abort") == 0)
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
    if (skeleton::IsFault(sig)) {
        skeleton::LogBacktrace();
        skeleton::EndOnFault(sig);
    }
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
