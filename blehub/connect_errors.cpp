#include "connect_errors.h"

#include "fnv.h"

using namespace fnv::literals;

ConnectErrorAction ClassifyConnectError(const std::string& errorName) {
    switch (fnv::Hash(errorName)) {
        case "org.bluez.Error.Failed"_hash:
        case "org.freedesktop.DBus.Error.NoReply"_hash:
            return ConnectErrorAction::kForget;
        case "org.bluez.Error.AlreadyExists"_hash:
            return ConnectErrorAction::kRemoveAndRetry;
        case "org.bluez.Failed"_hash:  // 0x9f031ad0
            return ConnectErrorAction::kRetryLoud;
        case "org.freedesktop.DBus.Error.UnknownMethod"_hash:
            return ConnectErrorAction::kNotOffered;
        case "org.bluez.Error.InProgress"_hash:
        case "org.bluez.Error.NotReady"_hash:
            return ConnectErrorAction::kRetry;
        default:
            return ConnectErrorAction::kIgnore;
    }
}
