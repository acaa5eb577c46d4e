#include "nvram.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/lexical_cast.hpp>

#include "fnv.h"
#include "json_error.h"
#include "log.h"
#include "ubus.h"

using nlohmann::json;
using namespace fnv::literals;

namespace {

constexpr int kTimeoutSeconds = 30;
constexpr std::size_t kMaxUrl = 2048;

bool AllOf(const std::string& text, bool (*take)(unsigned char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [take](char c) {
        return take(static_cast<unsigned char>(c));
    });
}

bool HostName(const std::string& host) {
    return AllOf(host, [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; }) &&
           host.front() != '.' && host.front() != '-';
}

bool AddressV6(const std::string& host) {
    return AllOf(host, [](unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; });
}

bool PortNumber(const std::string& port) {
    return port.size() <= 5 && AllOf(port, [](unsigned char c) { return std::isdigit(c) != 0; }) &&
           std::stoi(port) >= 1 && std::stoi(port) <= 65535;
}

// Whole numbers and flags only: "1x", "1.5", " 1" and "" are refused.
int ToInt(const json& value) {
    return boost::lexical_cast<int>(value.get<std::string>());
}

int ToIntIn(const json& value, int low, int high) {
    const int n = ToInt(value);
    if (n < low || n > high)
        throw std::out_of_range("not in " + std::to_string(low) + ".." + std::to_string(high));
    return n;
}

// Topic prefixes and ids go into topic names: one or more levels, no wildcards, no empty level.
std::string ToTopicPrefix(const json& value) {
    std::string text = value.get<std::string>();
    if (text.empty() || text.size() > 64 || text.find_first_of("+#") != std::string::npos ||
        text.front() == '/' || text.back() == '/' || text.find("//") != std::string::npos)
        throw std::invalid_argument("not a topic prefix");
    return text;
}

}  // namespace

std::string UrlAuthority(const std::string& url) {
    if (url.size() > kMaxUrl)
        return std::string();
    std::string rest = url;
    if (const auto scheme = url.find("://"); scheme != std::string::npos) {
        const std::string name = url.substr(0, scheme);
        if (name != "https" && name != "http")
            return std::string();
        rest = url.substr(scheme + 3);
    }
    std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);  // credentials are no part of where the cloud is
    std::string host = authority;
    std::optional<std::string> port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos)
            return std::string();
        host = authority.substr(1, close - 1);
        const std::string tail = authority.substr(close + 1);
        if (!tail.empty() && tail.front() != ':')
            return std::string();
        if (!tail.empty())
            port = tail.substr(1);
        if (!AddressV6(host))
            return std::string();
    } else {
        if (const auto colon = authority.find(':'); colon != std::string::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (!HostName(host))
            return std::string();
    }
    if (port && !PortNumber(*port))
        return std::string();
    return authority;
}

std::string UrlToHost(const std::string& url) {
    const std::string authority = UrlAuthority(url);
    if (authority.empty())
        return NVRAM::kDefaultCloudHost;
    if (authority.front() == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

json NVRAM::GetSection(const char* section) {
    const json args = json::parse(std::string(R"({"config": ")") + kConfig + R"(", "section": ")" +
                                  section + R"("})");
    json values;
    ubus::Sender(kTimeoutSeconds).Invoke("uci", "get", args.dump(), [&](const char* reply) {
        try {
            const json answer = json::parse(reply);
            const auto it = answer.find("values");
            if (it != answer.end())
                values = *it;
        } catch (const std::exception& e) {
            LOGE << JsonErrorText(e);
        }
    });
    return values;
}

void NVRAM::LoadSysParams() {
    const json values = GetSection("sys");
    if (!values.is_object())
        return;
    for (const auto& [name, value] : values.items()) {
        try {
            switch (fnv::Hash(name)) {
                case "url"_hash:
                    url = value.get<std::string>();
                    host = UrlToHost(url);
                    break;
                case "prov_url"_hash:
                    prov_url = value.get<std::string>();
                    break;
                case "device_id"_hash:
                    device_id = value.get<std::string>();
                    break;
                case "serial_number"_hash:
                    serial_number = value.get<std::string>();
                    break;
                case "first_boot"_hash:
                    first_boot = ToInt(value);
                    break;
                case "ca_file"_hash:
                    ca_file = value.get<std::string>();
                    break;
                case "tls_verify"_hash:
                    tls_verify = ToInt(value);
                    break;
                case "gatt_timeout"_hash:
                    gatt_timeout = ToInt(value);
                    break;
                case "max_samples"_hash:
                    max_samples = ToInt(value);
                    break;
                case "report_interval"_hash:
                    report_interval = ToInt(value);
                    break;
                case "queue_limit"_hash:
                    queue_limit = ToInt(value);
                    break;
                case "journal"_hash:
                    journal = ToInt(value);
                    break;
                case "store_dir"_hash:
                    store_dir = value.get<std::string>();
                    break;
                case "spill_after"_hash:
                    spill_after = ToInt(value);
                    break;
                case "store_sync"_hash:
                    store_sync = ToInt(value);
                    break;
                case "store_max_kb"_hash:
                    store_max_kb = ToInt(value);
                    break;
                case "store_max_age"_hash:
                    store_max_age = ToInt(value);
                    break;
                case "probe_host"_hash:
                    probe_host = value.get<std::string>();
                    break;
                case "wps_timeout"_hash:
                    wps_timeout = ToInt(value);
                    break;
                case "retry_delay"_hash:
                    retry_delay = ToInt(value);
                    break;
                case "max_package"_hash:
                    max_package = ToInt(value);
                    break;
                default:
                    break;
            }
        } catch (const std::exception& e) {
            LOGE << "Option " << name << " " << logging::Cut(value.dump())
                 << " ignored : " << e.what();
        }
    }
}

void NVRAM::LoadAuthParams() {
    const json values = GetSection("auth");
    if (!values.is_object())
        return;
    for (const auto& [name, value] : values.items()) {
        try {
            switch (fnv::Hash(name)) {
                case "access_token"_hash:
                    access_token = value.get<std::string>();
                    break;
                case "refresh_token"_hash:
                    refresh_token = value.get<std::string>();
                    break;
                case "client_id"_hash:
                    client_id = value.get<std::string>();
                    break;
                case "client_secret"_hash:
                    client_secret = value.get<std::string>();
                    break;
                default:
                    break;
            }
        } catch (const std::exception& e) {
            LOGE << "Option " << name << " ignored : " << e.what();  // no secrets in the log
        }
    }
}

void NVRAM::LoadMQTTParams() {
    const json values = GetSection("mqtt");
    if (!values.is_object())
        return;
    for (const auto& [name, value] : values.items()) {
        try {
            switch (fnv::Hash(name)) {
                case "host"_hash:
                    mqtt_host = value.get<std::string>();
                    break;
                case "port"_hash:
                    mqtt_port = ToInt(value);
                    break;
                case "enable"_hash:
                    mqtt_enable = ToInt(value);
                    break;
                case "availability"_hash:
                    mqtt_availability = ToIntIn(value, 0, 1);
                    break;
                case "tls"_hash:
                    mqtt_tls = ToIntIn(value, 0, 1);
                    break;
                case "ca_file"_hash:
                    mqtt_ca_file = value.get<std::string>();
                    break;
                case "cert_file"_hash:
                    mqtt_cert_file = value.get<std::string>();
                    break;
                case "key_file"_hash:
                    mqtt_key_file = value.get<std::string>();
                    break;
                case "username"_hash:
                    mqtt_username = value.get<std::string>();
                    break;
                case "password"_hash:
                    mqtt_password = value.get<std::string>();
                    break;
                case "qos"_hash:
                    mqtt_qos = ToIntIn(value, 0, 1);
                    break;
                case "max_queued"_hash:
                    mqtt_max_queued = ToIntIn(value, 0, 1000000);
                    break;
                case "keepalive"_hash:
                    // libmosquitto refuses less than 5 s.
                    mqtt_keepalive = ToIntIn(value, 5, 3600);
                    break;
                case "ha_discovery"_hash:
                    mqtt_ha_discovery = ToIntIn(value, 0, 1);
                    break;
                case "ha_prefix"_hash:
                    mqtt_ha_prefix = ToTopicPrefix(value);
                    break;
                default:
                    break;
            }
        } catch (const std::exception& e) {
            if (name == "password") {
                LOGE << "Option " << name << " ignored : " << e.what();  // no secrets in the log
            } else {
                LOGE << "Option " << name << " " << logging::Cut(value.dump())
                     << " ignored : " << e.what();
            }
        }
    }
}

bool NVRAM::LoadWhitelist() {
    const json values = GetSection("sys");
    if (!values.is_object())
        return false;
    const auto it = values.find("whitelist");
    if (it == values.end())
        return true;
    try {
        whitelist = it->get<std::vector<std::string>>();
    } catch (const std::exception& e) {
        LOGE << "Option whitelist " << logging::Cut(it->dump()) << " ignored : " << e.what();
        return false;
    }
    return true;
}
