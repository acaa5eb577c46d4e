#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

// supervd's own "sys" options: time-outs and periods, so that a test rig can shorten them.
struct Settings {
    static constexpr const char* kDefaultProbeHost = "www.google.com";
    // blehub's heartbeat comes every 60 s (the others' every 5 s) and may leave up to its
    // sender's 30 s bus time-out late: a shorter time-out restarts a healthy blehub.
    static constexpr std::chrono::seconds kHeartbeatTimeoutFloor{90};

    std::chrono::seconds heartbeat_timeout{120};     // "heartbeat_timeout"
    std::chrono::seconds internet_check{30};         // "internet_check": name lookup period
    std::string probe_host = kDefaultProbeHost;      // "probe_host"
    std::chrono::milliseconds recovery_hci{1000};    // "recovery_hci_ms": after hci_cfg restart
    std::chrono::milliseconds recovery_start{2000};  // "recovery_bluetoothd_ms": before blehub
    std::chrono::seconds recovery_backoff{10};       // "recovery_backoff": first wait of a repeat
    std::chrono::seconds recovery_backoff_max{600};  // "recovery_backoff_max": longest wait
    std::chrono::seconds recovery_healthy{300};      // "recovery_healthy": spell that resets it
    std::chrono::seconds auth_retry{30};             // "auth_retry": between authorization tries
    int auth_tries = 20;                             // per internet-up

    // From the options of the "sys" section; a value that is not usable is logged and the
    // default stays.
    static Settings FromSys(const nlohmann::json& values);
    // Reads "sys" through the "uci" object.
    static Settings Load();
};
