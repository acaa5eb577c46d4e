#include "log.h"
#include "reporter.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("report.log", logging::info);
skeleton::MainObject<Reporter> reporter;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    reporter.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "reportd Start : " << skeleton::PackageVersion("reportd");
    // Built here rather than before main: its constructor already reads the settings.
    static Reporter instance;
    reporter.Attach(instance);
    instance.Run();
    reporter.Detach();
    return 0;
}
