#include <memory>

#include "log.h"
#include "mqtt.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("mqtt.log", logging::info);
skeleton::MainObject<MQTT> mqtt;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    mqtt.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "mqttpub Start : " << skeleton::PackageVersion("mqttpub");
    auto instance = std::make_unique<MQTT>();
    mqtt.Attach(*instance);
    instance->Run();
    mqtt.Detach();
    return 0;
}
