#include "nvram.h"

// GCC 12 with sanitizers reports a false "maybe uninitialized" inside std::regex's
// std::function members.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <exception>
#include <regex>

#include <boost/lexical_cast.hpp>

#include "fnv.h"
#include "json_error.h"
#include "log.h"
#include "ubus.h"

using nlohmann::json;
using namespace fnv::literals;

namespace {

constexpr int kTimeoutSeconds = 30;

// Whole numbers and flags only: "1x", "1.5", " 1" and "" are refused.
int ToInt(const json& value) {
    return boost::lexical_cast<int>(value.get<std::string>());
}

}  // namespace

std::string UrlToHost(const std::string& url) {
    // scheme, host, port, path, query, fragment
    static const std::regex kUrl(
        R"((http|https)://([^/ :]+):?([^/ ]*)(/?[^ #?]*)\x3f?([^ #]*)#?([^ ]*))",
        std::regex::ECMAScript);
    std::smatch m;
    if (!std::regex_search(url, m, kUrl))
        return NVRAM::kDefaultCloudHost;
    return m[2].matched ? m[2].str() : std::string();
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
                default:
                    break;
            }
        } catch (const std::exception& e) {
            LOGE << "Option " << name << " " << logging::Cut(value.dump())
                 << " ignored : " << e.what();
        }
    }
}

void NVRAM::LoadWhitelist() {
    const json values = GetSection("sys");
    if (!values.is_object())
        return;
    const auto it = values.find("whitelist");
    if (it == values.end())
        return;
    try {
        whitelist = it->get<std::vector<std::string>>();
    } catch (const std::exception& e) {
        LOGE << "Option whitelist " << logging::Cut(it->dump()) << " ignored : " << e.what();
    }
}
