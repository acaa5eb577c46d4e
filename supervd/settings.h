#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

// supervd's own "sys" options: time-outs and periods, so that a test rig can shorten them.
struct Settings {
    static constexpr const char* kDefaultProbeHost = "www.google.com";

    std::chrono::seconds heartbeat_timeout{120};     // "heartbeat_timeout"
    std::chrono::seconds internet_check{30};         // "internet_check": name lookup period
    std::string probe_host = kDefaultProbeHost;      // "probe_host"
    std::chrono::milliseconds recovery_hci{1000};    // "recovery_hci_ms": after hci_cfg restart
    std::chrono::milliseconds recovery_start{2000};  // "recovery_bluetoothd_ms": before blehub
    std::chrono::seconds auth_retry{30};             // "auth_retry": between authorization tries
    int auth_tries = 20;                             // per internet-up

    // From the options of the "sys" section; a value that is not usable is logged and the
    // default stays.
    static Settings FromSys(const nlohmann::json& values);
    // Reads "sys" through the "uci" object.
    static Settings Load();
};
