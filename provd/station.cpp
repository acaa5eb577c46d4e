#include "station.h"

#include <exception>

#include <nlohmann/json.hpp>

#include "log.h"
#include "ubus.h"

namespace {

constexpr int kCallTimeout = 30;

}  // namespace

void UbusStation::StartWps() {
    ubus::Sender(kCallTimeout)
        .Invoke("wpa_supplicant.wlan0", "wps_start", "", [](const char* reply) { LOGV << reply; });
}

bool UbusStation::Associated() {
    bool connected = false;
    ubus::Sender(kCallTimeout)
        .Invoke("iwinfo", "info", R"({"device":"wlan0"})", [&connected](const char* reply) {
            try {
                const auto info = nlohmann::json::parse(reply);
                connected =
                    info.is_object() && info.contains("ssid") && info.contains("encryption");
            } catch (const std::exception& e) {
                LOGE << e.what();
            }
        });
    return connected;
}
