#include <memory>

#include "log.h"
#include "provisioner.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("prov.log", logging::verbose, /*console=*/true);
skeleton::MainObject<Provisioner> provisioner;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    provisioner.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "provd Start";
    auto instance = std::make_unique<Provisioner>();
    provisioner.Attach(*instance);
    instance->Run();
    provisioner.Detach();
    LOGV << "Exit";
    return 0;
}
