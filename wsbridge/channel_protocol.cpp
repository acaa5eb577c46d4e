#include "channel_protocol.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "fnv.h"
#include "log.h"
#include "messages.h"
#include "nvram.h"
#include "sensor_event.h"
#include "ubus_payload.h"

using nlohmann::json;
using namespace fnv::literals;

namespace channel {

namespace {

// Frames may be up to a MiB: log lines quote only their start.
std::string Excerpt(const std::string& text) {
    return logging::Quote(text);
}

// What makes a frame unusable; the message is the log line.
struct BadFrame : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A fold as a 32-bit integer: whole numbers as they are, fractions cut towards zero.
int32_t FoldValue(const json& fold) {
    if (fold.is_number_unsigned()) {
        if (fold.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            throw BadFrame("\"fold\" " + fold.dump() + " out of range");
        return static_cast<int32_t>(fold.get<uint64_t>());
    }
    if (fold.is_number_integer()) {
        const int64_t v = fold.get<int64_t>();
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            throw BadFrame("\"fold\" " + fold.dump() + " out of range");
        return static_cast<int32_t>(v);
    }
    if (!fold.is_number_float())
        throw BadFrame("\"fold\" is not a number");
    const double value = std::trunc(fold.get<double>());
    if (!(value >= std::numeric_limits<int32_t>::min() &&
          value <= std::numeric_limits<int32_t>::max()))
        throw BadFrame("\"fold\" " + fold.dump() + " out of range");
    return static_cast<int32_t>(value);
}

json FoldsEvent(const std::string& deviceId, const json& folds) {
    if (!folds.is_array())
        throw BadFrame("\"folds\" is not an array");
    json map = json::object();
    for (const json& element : folds) {
        if (!element.is_object())
            throw BadFrame("a \"folds\" element is not an object");
        const auto key = element.find("key");
        const auto fold = element.find("fold");
        if (key == element.end() || !key->is_string() || fold == element.end())
            throw BadFrame("a \"folds\" element lacks a text \"key\" or a \"fold\"");
        const int32_t value = FoldValue(*fold);
        // The first of two equal keys wins.
        map.emplace(key->get<std::string>(), value);
    }
    return json{{"device_id", deviceId}, {"folds", std::move(map)}, {"type", "folds"}};
}

json BeaconEvent(const std::string& deviceId, const json& sensor) {
    const auto enabled = sensor.is_object() ? sensor.find("ble_enabled") : sensor.end();
    if (!sensor.is_object() || enabled == sensor.end() || !enabled->is_boolean())
        throw BadFrame("\"sensor\" lacks a boolean \"ble_enabled\"");
    return json{{"beacon", enabled->get<bool>()}, {"device_id", deviceId}, {"type", "beacon"}};
}

std::optional<Relay> ChannelMessage(const json& frame) {
    const json& idText = frame["identifier"];
    if (!idText.is_string())
        throw BadFrame("\"identifier\" is not a text");
    const json id = json::parse(idText.get_ref<const std::string&>(), nullptr, false);
    if (!id.is_object())
        throw BadFrame("\"identifier\" does not hold a JSON object");
    const auto channel = id.find("channel");
    if (channel == id.end() || !channel->is_string())
        throw BadFrame("\"identifier\" has no \"channel\"");
    if (channel->get_ref<const std::string&>() != kSensorChannel) {
        LOGV << "not for a sensor : " << Excerpt(channel->get_ref<const std::string&>());
        return std::nullopt;
    }
    const auto device = id.find("device_id");
    if (device == id.end() || !device->is_string())
        throw BadFrame("\"identifier\" has no \"device_id\"");
    if (!ValidDeviceId(device->get_ref<const std::string&>()))
        throw BadFrame("\"identifier\" has no usable \"device_id\"");
    const std::string& deviceId = device->get_ref<const std::string&>();

    const json& message = frame["message"];
    if (!message.is_object())
        throw BadFrame("\"message\" is not an object");
    if (const auto folds = message.find("folds"); folds != message.end())
        return Relay{kSensorFolds, FoldsEvent(deviceId, *folds)};
    if (const auto sensor = message.find("sensor"); sensor != message.end())
        return Relay{kSensorBeacon, BeaconEvent(deviceId, *sensor)};
    LOGV << "no command for " << deviceId;
    return std::nullopt;
}

// Frames of the server itself: {"type":"welcome"}, {"type":"ping",...}, confirmations.
void ControlMessage(const json& frame) {
    const auto type = frame.find("type");
    if (type == frame.end() || !type->is_string()) {
        LOGV << "neither a channel message nor a control frame";
        return;
    }
    const std::string identifier = frame.value("identifier", json()).dump();
    switch (fnv::Hash(type->get_ref<const std::string&>())) {
        case "ping"_hash:
            break;
        case "reject_subscription"_hash:
            LOGW << "Subscription rejected : " << logging::Cut(identifier);
            break;
        case "disconnect"_hash:
            LOGW << "Disconnect : " << logging::Cut(frame.value("reason", json()).dump());
            break;
        default:
            LOGV << Excerpt(type->get_ref<const std::string&>()) << " " << logging::Cut(identifier);
            break;
    }
}

std::string PercentEncode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

std::string Identifier(const char* channel, const std::string& deviceId) {
    return json{{"channel", channel}, {"device_id", deviceId}}.dump();
}

std::string Subscribe(const char* channel, const std::string& deviceId) {
    return json{{"command", "subscribe"}, {"identifier", Identifier(channel, deviceId)}}.dump();
}

std::string Unsubscribe(const char* channel, const std::string& deviceId) {
    return json{{"command", "unsubscribe"}, {"identifier", Identifier(channel, deviceId)}}.dump();
}

std::optional<Relay> ParseFrame(const std::string& text) {
    try {
        // Copying or printing a value recurses once per level: a frame nested a few hundred
        // thousand levels deep would run the stack out. Nothing the cloud sends is that deep.
        if (!ubus::payload::ShallowEnough(text.c_str()))
            throw BadFrame("nested too deep");
        const json frame = json::parse(text);
        if (!frame.is_object())
            throw BadFrame("not an object");
        if (frame.contains("identifier") && frame.contains("message"))
            return ChannelMessage(frame);
        ControlMessage(frame);
    } catch (const std::exception& e) {
        LOGE << "Frame dropped, " << Excerpt(e.what()) << " : " << Excerpt(text);
    }
    return std::nullopt;
}

std::optional<SubscriptionRequest> ParseSubscription(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    try {
        const json event = json::parse(text);
        if (!event.is_object())
            throw std::invalid_argument("not an object");
        if (!event.contains("type") || !event.contains("device_type") ||
            !event.contains("device_id"))
            return std::nullopt;  // not a subscription request: our own relays look so
        const json& type = event["type"];
        const json& device = event["device_id"];
        if (!type.is_string())
            throw std::invalid_argument("\"type\" is not a text");
        if (!device.is_string() || !ValidDeviceId(device.get_ref<const std::string&>()))
            throw std::invalid_argument("\"device_id\" is not a device id");
        switch (fnv::Hash(type.get_ref<const std::string&>())) {
            case "subscribe"_hash:
                return SubscriptionRequest{true, device.get<std::string>()};
            case "unsubscribe"_hash:
                return SubscriptionRequest{false, device.get<std::string>()};
            default:
                return std::nullopt;
        }
    } catch (const std::exception& e) {
        LOGE << "Websocket event dropped, " << Excerpt(e.what()) << " : " << Excerpt(text);
    }
    return std::nullopt;
}

std::string CableUri(const std::string& url, const std::string& token) {
    const std::string authority = UrlAuthority(url);
    if (authority.empty())
        return std::string();
    return "wss://" + authority + "/cable?access_token=" + PercentEncode(token);
}

bool NodeList::Add(const std::string& id) {
    if (std::find(ids_.begin(), ids_.end(), id) != ids_.end())
        return false;
    ids_.push_back(id);
    return true;
}

bool NodeList::Remove(const std::string& id) {
    const auto it = std::find(ids_.begin(), ids_.end(), id);
    if (it == ids_.end())
        return false;
    ids_.erase(it);
    return true;
}

}  // namespace channel
