#include "settings.h"

#include <limits>
#include <string>

#include <boost/lexical_cast.hpp>

#include "log.h"
#include "nvram.h"
#include "uci.h"

using nlohmann::json;

namespace {

// A whole number from `min` up, else nothing (with the usual line; the default stays).
bool Number(const json& values, const char* name, long min, long& out) {
    const auto it = values.find(name);
    if (it == values.end())
        return false;
    std::string why = "not a whole number";
    try {
        const long n = boost::lexical_cast<long>(it->get<std::string>());
        if (n >= min && n <= std::numeric_limits<int>::max()) {
            out = n;
            return true;
        }
        why = n < min ? "below " + std::to_string(min) : "too large";
    } catch (const std::exception&) {
    }
    LOGE << "Option " << name << " " << logging::Cut(it->dump()) << " ignored : " << why;
    return false;
}

}  // namespace

Settings Settings::FromSys(const json& values) {
    Settings s;
    if (!values.is_object())
        return s;
    long n = 0;
    if (Number(values, "heartbeat_timeout", kHeartbeatTimeoutFloor.count(), n))
        s.heartbeat_timeout = std::chrono::seconds(n);
    if (Number(values, "internet_check", 1, n))
        s.internet_check = std::chrono::seconds(n);
    if (Number(values, "recovery_hci_ms", 0, n))
        s.recovery_hci = std::chrono::milliseconds(n);
    if (Number(values, "recovery_bluetoothd_ms", 0, n))
        s.recovery_start = std::chrono::milliseconds(n);
    if (Number(values, "recovery_backoff", 0, n))
        s.recovery_backoff = std::chrono::seconds(n);
    if (Number(values, "recovery_backoff_max", 0, n))
        s.recovery_backoff_max = std::chrono::seconds(n);
    if (Number(values, "recovery_healthy", 0, n))
        s.recovery_healthy = std::chrono::seconds(n);
    if (Number(values, "auth_retry", 1, n))
        s.auth_retry = std::chrono::seconds(n);
    const auto probe = values.find("probe_host");
    if (probe != values.end()) {
        if (probe->is_string() && !probe->get_ref<const std::string&>().empty())
            s.probe_host = probe->get<std::string>();
        else
            LOGE << "Option probe_host " << probe->dump() << " ignored : not a host name";
    }
    return s;
}

Settings Settings::Load() {
    return FromSys(UCI().Get(NVRAM::kConfig, "sys"));
}
