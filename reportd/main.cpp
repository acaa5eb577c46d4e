#include <atomic>
#include <cstdlib>

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

// A rig may ask for more detail than a router logs (HALVEX_LOG_LEVEL=6: verbose).
void LevelFromEnvironment() {
    const char* level = std::getenv("HALVEX_LOG_LEVEL");
    if (level == nullptr)
        return;
    const int n = std::atoi(level);
    if (n >= logging::none && n <= logging::verbose) {
        logging::SetMaxSeverity(static_cast<logging::Severity>(n));
    }
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LevelFromEnvironment();
    LOGI << "reportd Start : " << skeleton::PackageVersion("reportd");
    static Reporter instance;
    reporter.store(&instance);
    if (stopRequested.load())
        instance.Stop();
    instance.Run();
    reporter.store(nullptr);
    return 0;
}
