#include <atomic>
#include <cstdlib>
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
    LOGI << "mqttpub Start : " << skeleton::PackageVersion("mqttpub");
    auto instance = std::make_unique<MQTT>();
    mqtt.store(instance.get());
    if (stopRequested.load())
        instance->Stop();
    instance->Run();
    mqtt.store(nullptr);
    return 0;
}
