#include "settings.h"

#include <limits>

#include <boost/lexical_cast.hpp>

#include "log.h"
#include "nvram.h"
#include "uci.h"

using nlohmann::json;

namespace {

// A whole number from `min` up, else nothing (with a log line).
bool Number(const json& values, const char* name, long min, long& out) {
    const auto it = values.find(name);
    if (it == values.end())
        return false;
    try {
        const long n = boost::lexical_cast<long>(it->get<std::string>());
        if (n >= min && n <= std::numeric_limits<int>::max()) {
            out = n;
            return true;
        }
    } catch (const std::exception&) {
    }
    LOGW << "sys " << name << " " << it->dump() << " unusable, default kept";
    return false;
}

}  // namespace

Settings Settings::FromSys(const json& values) {
    Settings s;
    if (!values.is_object())
        return s;
    long n = 0;
    if (Number(values, "heartbeat_timeout", 1, n))
        s.heartbeat_timeout = std::chrono::seconds(n);
    if (Number(values, "internet_check", 1, n))
        s.internet_check = std::chrono::seconds(n);
    if (Number(values, "recovery_hci_ms", 0, n))
        s.recovery_hci = std::chrono::milliseconds(n);
    if (Number(values, "recovery_bluetoothd_ms", 0, n))
        s.recovery_start = std::chrono::milliseconds(n);
    if (Number(values, "auth_retry", 1, n))
        s.auth_retry = std::chrono::seconds(n);
    const auto probe = values.find("probe_host");
    if (probe != values.end()) {
        if (probe->is_string() && !probe->get_ref<const std::string&>().empty())
            s.probe_host = probe->get<std::string>();
        else
            LOGW << "sys probe_host " << probe->dump() << " unusable, default kept";
    }
    return s;
}

Settings Settings::Load() {
    return FromSys(UCI().Get(NVRAM::kConfig, "sys"));
}
