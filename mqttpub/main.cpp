#include <atomic>
#include <memory>

#include "log.h"
#include "mqtt.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("mqtt.log", logging::info);
std::atomic<bool> stopRequested{false};  // a signal during construction
std::atomic<MQTT*> mqtt{nullptr};

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    if (skeleton::IsFault(sig)) {
        skeleton::LogBacktrace();
        skeleton::EndOnFault(sig);
    }
    stopRequested.store(true);
    if (MQTT* m = mqtt.load())
        m->Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "mqttpub Start : " << skeleton::PackageVersion("mqttpub");
    auto instance = std::make_unique<MQTT>();
    mqtt.store(instance.get());
    if (stopRequested.load())
        instance->Stop();
    instance->Run();
    mqtt.store(nullptr);
    return 0;
}
