#include <csignal>

#include "bluetooth_le.h"
#include "log.h"
#include "skeleton.h"

namespace {

logging::Setup logSetup("ble.log", logging::info);
skeleton::MainObject<BluetoothLE> hub;

void SignalHandler(int sig) {
    skeleton::LogSignal(sig);
    if (sig == SIGSEGV) {
        BluetoothLE::SendStatusError(BluetoothLE::kStatusBluezMissing);
        skeleton::LogBacktrace();
    }
    // Returning would run the faulting code again.
    if (skeleton::IsFault(sig))
        skeleton::EndOnFault(sig);
    hub.Stop();
}

}  // namespace

int main() {
    skeleton::InstallSignalHandler(SignalHandler);
    LOGI << "blehub Start : " << skeleton::PackageVersion("blehub");
    // Built here rather than before main: its constructor already talks to ubus and D-Bus.
    static BluetoothLE ble;
    hub.Attach(ble);
    const int status = ble.Run();
    hub.Detach();
    return status;
}
