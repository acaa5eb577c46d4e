#include <atomic>

#include "log.h"
#include "reporter.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("report.log", logging::info);
std::atomic<bool> stopRequested{false};  // a signal during construction
std::atomic<Reporter*> reporter{nullptr};

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    if (skeleton::IsFault(sig)) {
        skeleton::LogBacktrace();
        skeleton::EndOnFault(sig);
    }
    stopRequested.store(true);
    if (Reporter* r = reporter.load())
        r->Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "reportd Start : " << skeleton::PackageVersion("reportd");
    static Reporter instance;
    reporter.store(&instance);
    if (stopRequested.load())
        instance.Stop();
    instance.Run();
    reporter.store(nullptr);
    return 0;
}
