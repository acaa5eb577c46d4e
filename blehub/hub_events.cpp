#include "hub_events.h"

#include <exception>

#include <nlohmann/json.hpp>

#include "fnv.h"
#include "log.h"
#include "messages.h"
#include "sensor_event.h"

using nlohmann::json;
using namespace fnv::literals;

namespace hub_events {

namespace {

// The text member `key`; throws json::type_error (caught by the caller) when it is
// missing or not a text.
std::string TextMember(const json& object, const char* key) {
    return object.at(key).get<std::string>();
}

// The member "device_id", a node's id by the common rule.
std::string DeviceId(const json& object) {
    std::string id = TextMember(object, "device_id");
    if (!ValidDeviceId(id))
        throw std::invalid_argument("\"device_id\" is not a device id");
    return id;
}

bool BoolMember(const json& object, const char* key) {
    const json& value = object.at(key);
    if (value.is_number_integer())
        return value.get<int64_t>() != 0;
    return value.get<bool>();
}

}  // namespace

std::optional<mailbox::Message> ParseWebsocketEvent(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    try {
        const json event = json::parse(text);
        if (!event.is_object() || !event.contains("type") || !event["type"].is_string()) {
            return std::nullopt;
        }
        switch (fnv::Hash(event["type"].get<std::string>())) {
            case "beacon"_hash:
                return mailbox::Make<BeaconCommand>(
                    kSensorBeacon, BeaconCommand{DeviceId(event), BoolMember(event, "beacon")});
            case "folds"_hash: {
                FoldsCommand command{DeviceId(event), {}};
                const json& folds = event.at("folds");
                if (!folds.is_object())
                    throw std::invalid_argument("\"folds\" is not an object");
                for (const auto& [key, value] : folds.items()) {
                    if (!value.is_number_integer()) {
                        throw std::invalid_argument("fold " + logging::Quote(key) +
                                                    " is not an integer");
                    }
                    command.folds[key] = value.get<int>();
                }
                return mailbox::Make<FoldsCommand>(kSensorFolds, std::move(command));
            }
            default:
                return std::nullopt;
        }
    } catch (const std::exception& e) {
        LOGE << logging::Quote(e.what()) << " in " << logging::Quote(text);
    }
    return std::nullopt;
}

bool ParseManagerEvent(const char* text) {
    if (text == nullptr)
        return false;
    try {
        const json event = json::parse(text);
        const json& evt = event.at("evt");
        if (!evt.is_object())
            throw std::invalid_argument("\"evt\" is not an object");
        // Network state changes do not concern the hub: read and dropped.
        for (const auto& member : evt.items())
            LOGV << logging::Quote(member.key());
        return true;
    } catch (const std::exception& e) {
        LOGE << logging::Quote(e.what()) << " in " << logging::Quote(text);
    }
    return false;
}

std::string SubscriptionPayload(bool subscribe, const std::string& deviceId) {
    json payload;
    payload["type"] = subscribe ? "subscribe" : "unsubscribe";
    payload["device_type"] = "sensor";
    payload["device_id"] = deviceId;
    return payload.dump();
}

std::optional<std::string> DeviceIdFromName(const std::string& name) {
    constexpr std::size_t kIdLength = 12;
    if (name.size() <= kIdLength)
        return std::nullopt;
    return name.substr(name.size() - kIdLength);
}

}  // namespace hub_events
