// provd's writes: the settings a provisioning package carries, and the gateway's identity.
// Each setter stages its change; the caller commits every package it touched once.
#include "log.h"
#include "nvram.h"

using nlohmann::json;

namespace {

constexpr const char* kHidden = "<hidden>";

// A set whose values must not reach the log.
bool SetSecret(const std::string& config, const std::string& section, const json& values) {
    UCI secret;
    secret.HideValues(true);
    return secret.Set(config, section, values);
}

}  // namespace

bool NVRAM::SetWirelessParams(const std::string& ssid, const std::string& encryption,
                              const std::string& key) {
    const json values = {{"ssid", ssid}, {"encryption", encryption}, {"key", key}};
    LOGV << json{{"ssid", ssid}, {"encryption", encryption}, {"key", kHidden}}.dump();
    return SetSecret("wireless", "default_radio0", values);
}

bool NVRAM::SetAuthParams(const std::string& access, const std::string& refresh) {
    const json values = {{"access_token", access}, {"refresh_token", refresh}};
    LOGV << json{{"access_token", kHidden}, {"refresh_token", kHidden}}.dump();
    if (!SetSecret(kConfig, "auth", values))
        return false;
    access_token = access;
    refresh_token = refresh;
    return true;
}

bool NVRAM::SetNetworkParams(const std::string& proto, const std::string& ipaddr,
                             const std::string& netmask, const std::string& gateway,
                             const std::vector<std::string>& dns) {
    json values = {{"proto", proto}};
    if (proto == "static") {
        values["ipaddr"] = ipaddr;
        values["netmask"] = netmask;
        values["gateway"] = gateway;
        values["dns"] = dns;
    }
    LOGV << values.dump();
    return uci.Set("network", "wan", values);
}

bool NVRAM::SetDeviceId(const std::string& id) {
    if (id.empty())
        return true;
    if (!uci.Set(kConfig, "sys", {{"device_id", id}}))
        return false;
    device_id = id;
    return true;
}

bool NVRAM::SetSerialNumber(const std::string& serial) {
    if (serial.empty())
        return true;
    // The package key is derived from it.
    if (!SetSecret(kConfig, "sys", {{"serial_number", serial}}))
        return false;
    serial_number = serial;
    return true;
}

bool NVRAM::SetHostname(const std::string& hostname) {
    // Stock OpenWrt's one "system" section is anonymous.
    return uci.Set("system", "@system[0]", {{"hostname", hostname}});
}

bool NVRAM::SetFirstBoot() {
    if (!uci.Set(kConfig, "sys", {{"first_boot", "0"}}))
        return false;
    first_boot = 0;
    return true;
}

bool NVRAM::Commit(const std::string& config) {
    return uci.Commit(config);
}

bool NVRAM::Revert(const std::string& config) {
    return uci.Revert(config);
}
