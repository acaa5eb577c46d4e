#include "manager_event.h"

#include <nlohmann/json.hpp>

#include "fnv.h"
#include "log.h"
#include "mailbox.h"

using namespace fnv::literals;

std::vector<int32_t> ParseManagerEvent(const char* text) {
    std::vector<int32_t> codes;
    nlohmann::json event;
    try {
        event = nlohmann::json::parse(text == nullptr ? "" : text);
    } catch (const std::exception& e) {
        LOGE << "Invalid manager event : " << e.what();
        return codes;
    }
    auto evt = event.is_object() ? event.find("evt") : event.end();
    if (evt == event.end())
        return codes;
    if (!evt->is_object()) {
        LOGE << "Invalid manager event : \"evt\" is not an object";
        return codes;
    }
    for (const auto& [key, value] : evt->items()) {
        const uint32_t hash = fnv::Hash(key);
        if (hash != "internet"_hash && hash != "wlan"_hash)
            continue;
        if (!value.is_string()) {
            LOGE << "Invalid manager event : \"" << key << "\" is not a string, ignored";
            continue;
        }
        const bool up = value.get_ref<const std::string&>() == "up";
        switch (hash) {
            case "internet"_hash:
                codes.push_back(up ? mailbox::kInternetConnected : mailbox::kInternetDisconnected);
                break;
            case "wlan"_hash:
                codes.push_back(up ? mailbox::kWlanConnected : mailbox::kWlanDisconnected);
                break;
        }
    }
    return codes;
}
