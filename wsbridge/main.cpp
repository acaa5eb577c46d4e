#include "log.h"
#include "skeleton.h"
#include "websocket.h"

namespace {

logging::Setup logSetup("websocket.log", logging::info);
skeleton::MainObject<Websocket> bridge;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    skeleton::EndIfFault(sig);
    bridge.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "wsbridge Start : " << skeleton::PackageVersion("wsbridge");
    // Built here rather than before main: its constructor already reads the settings.
    static Websocket instance;
    bridge.Attach(instance);
    instance.Run();
    bridge.Detach();
    return 0;
}
