#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The cloud's channel protocol on the WebSocket: what the gateway sends, and what the frames
// the cloud sends stand for. Unusable input is logged once and gives nothing.
namespace channel {

constexpr const char* kGatewayChannel = "GatewayChannel";
constexpr const char* kSensorChannel = "SensorChannel";
constexpr const char* kWebsocketEvent = "brelix.websocket";

// {"channel":..,"device_id":..} as text: the cloud compares identifiers byte for byte.
std::string Identifier(const char* channel, const std::string& deviceId);
// {"command":"subscribe","identifier":<identifier text>}
std::string Subscribe(const char* channel, const std::string& deviceId);
std::string Unsubscribe(const char* channel, const std::string& deviceId);

// A sensor command from the cloud as the "brelix.websocket" event blehub takes.
struct Relay {
    int32_t code;  // kSensorFolds or kSensorBeacon
    nlohmann::json event;
};

// One text frame; nothing for control frames ("ping", "welcome", ...), other channels and
// bad input.
std::optional<Relay> ParseFrame(const std::string& text);

// A subscription request from blehub on "brelix.websocket". Events without "type",
// "device_type" and "device_id" (our own relays among them) and other types give nothing.
struct SubscriptionRequest {
    bool subscribe;
    std::string deviceId;
};
std::optional<SubscriptionRequest> ParseSubscription(const char* text);

// "wss://" + the host and port of the cloud url (UrlAuthority) + "/cable?access_token=" + the
// token (percent-encoded); "" when the url cannot be read.
std::string CableUri(const std::string& url, const std::string& token);

// Sensor ids to subscribe on every open: each once, in the order they came.
class NodeList {
  public:
    // False when the id is there already.
    bool Add(const std::string& id);
    bool Remove(const std::string& id);
    const std::vector<std::string>& Ids() const { return ids_; }

  private:
    std::vector<std::string> ids_;
};

}  // namespace channel
