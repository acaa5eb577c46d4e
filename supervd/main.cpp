#include <memory>

#include "log.h"
#include "manager.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("manager.log", logging::info);
skeleton::MainObject<Manager> manager;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    manager.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "supervd Start : " << skeleton::PackageVersion("supervd");
    auto instance = std::make_unique<Manager>();
    manager.Attach(*instance);
    instance->Run();
    manager.Detach();
    instance.reset();
    LOGV << "Close";
    return 0;
}
