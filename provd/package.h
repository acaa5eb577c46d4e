#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The decrypted provisioning document: Wi-Fi credentials, WAN addressing and cloud tokens.
// Checked whole before anything is written, so a bad member leaves every setting alone.
struct WirelessSettings {
    std::string ssid;
    std::string encryption;
    std::string key;
};

struct TokenSettings {
    std::string access;
    std::string refresh;
};

struct NetworkSettings {
    std::string proto;
    std::string ipaddr;
    std::string netmask;
    std::string gateway;
    std::vector<std::string> dns;
};

struct ProvisioningPackage {
    std::optional<WirelessSettings> wireless;
    std::optional<TokenSettings> tokens;
    std::optional<NetworkSettings> network;
};

// The package, or nothing with the reason in `error`. Unknown members are ignored; a member
// that is absent stays empty; a member of the wrong type refuses the whole document.
std::optional<ProvisioningPackage> ParsePackage(const nlohmann::json& document, std::string& error);
std::optional<ProvisioningPackage> ParsePackage(const std::string& text, std::string& error);

// A copy for the log with the Wi-Fi key and the tokens written as "<hidden>"; takes a
// document ("wireless", "tokens") or a "wps_credentials" payload ("key").
nlohmann::json HideSecrets(const nlohmann::json& document);
