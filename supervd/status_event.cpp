#include "status_event.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "fnv.h"
#include "log.h"

using nlohmann::json;
using namespace fnv::literals;

namespace supervd {

namespace {

bool Parse(const char* text, const char* what, json& out) {
    try {
        out = json::parse(text == nullptr ? "" : text);
    } catch (const std::exception& e) {
        LOGE << "Invalid " << what << " event : " << e.what();
        return false;
    }
    if (!out.is_object()) {
        LOGE << "Invalid " << what << " event : not a JSON object";
        return false;
    }
    return true;
}

// A process or error code: a whole number that fits an int.
bool AsCode(const json& value, int& code) {
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max()) {
            code = static_cast<int>(n);
            return true;
        }
    } else if (value.is_number_unsigned()) {
        const auto n = value.get<uint64_t>();
        if (n <= static_cast<uint64_t>(std::numeric_limits<int>::max())) {
            code = static_cast<int>(n);
            return true;
        }
    }
    return false;
}

// The sender's process id beside "hb"; 0 when absent or unusable.
int64_t Pid(const json& evt) {
    const auto it = evt.find("pid");
    if (it == evt.end())
        return 0;
    int pid = 0;
    if (AsCode(*it, pid) && pid > 0)
        return pid;
    LOGE << "Invalid status event : \"pid\" is " << it->dump() << ", not a process id";
    return 0;
}

}  // namespace

std::vector<mailbox::Message> ParseStatusEvent(const char* text) {
    LOGV << logging::Cut(text == nullptr ? "" : text);
    std::vector<mailbox::Message> out;
    json event;
    if (!Parse(text, "status", event))
        return out;
    const auto evt = event.find("evt");
    if (evt == event.end() || !evt->is_object()) {
        LOGE << "Invalid status event : no \"evt\" object";
        return out;
    }
    for (const auto& [key, value] : evt->items()) {
        int32_t messageCode = 0;
        switch (fnv::Hash(key)) {
            case "hb"_hash:
                messageCode = mailbox::kHeartbeatReceived;
                break;
            case "err"_hash:
                messageCode = mailbox::kErrorReported;
                break;
            default:
                continue;
        }
        int code = 0;
        if (!AsCode(value, code)) {
            LOGE << "Invalid status event : \"" << key << "\" is " << logging::Cut(value.dump())
                 << ", not a code";
            continue;
        }
        if (messageCode == mailbox::kHeartbeatReceived)
            out.push_back(mailbox::Make<Heartbeat>(messageCode, Heartbeat{code, Pid(*evt)}));
        else
            out.push_back(mailbox::Make<int>(messageCode, code));
    }
    return out;
}

std::vector<mailbox::Message> ParseInterfaceEvent(const char* text) {
    std::vector<mailbox::Message> out;
    json event;
    if (!Parse(text, "interface", event))
        return out;
    const auto name = event.find("interface");
    const auto action = event.find("action");
    if (name == event.end() || action == event.end() || !name->is_string() ||
        !action->is_string()) {
        LOGE << "Invalid interface event : needs the texts \"interface\" and \"action\"";
        return out;
    }
    if (name->get_ref<const std::string&>() != "wan")
        return out;
    const auto& act = action->get_ref<const std::string&>();
    if (act == "ifdown")
        out.emplace_back(mailbox::kWlanDisconnected);
    else if (act == "ifup")
        out.emplace_back(mailbox::kWlanConnected);
    LOGV << logging::Cut(text);
    return out;
}

}  // namespace supervd
