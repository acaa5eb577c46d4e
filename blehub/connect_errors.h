#pragma once

#include <string>

// What the hub does when a direct connection to a stored device fails, by D-Bus error name.
enum class ConnectErrorAction {
    kForget,          // the device does not answer: delete its record
    kRemoveAndRetry,  // BlueZ still holds the device object: remove it, then retry
    kRetryLoud,       // retry; logged at error severity
    kRetry,           // a passing state of the adapter or of the device: retry
    kNotOffered,      // bluetoothd runs without ConnectDevice (no experimental interfaces)
    kIgnore,          // logged only
};

ConnectErrorAction ClassifyConnectError(const std::string& errorName);
