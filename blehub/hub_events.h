#pragma once

#include <optional>
#include <string>

#include "mailbox.h"

// The ubus events blehub reads and writes, apart from readings and status reports.
namespace hub_events {

constexpr const char* kWebsocketEvent = "brelix.websocket";
constexpr const char* kManagerEvent = "brelix.manager";
constexpr const char* kSensorEvent = "brelix.sensor";

// A cloud command relayed on "brelix.websocket" as a work item ("beacon" -> 3011,
// "folds" -> 3010). Other types give nothing; malformed ones are logged and give nothing.
std::optional<mailbox::Message> ParseWebsocketEvent(const char* json);

// Reads a "brelix.manager" event; blehub acts on none of its keys. False (logged) when
// the text is not an object with an "evt" object.
bool ParseManagerEvent(const char* json);

// {"device_id":id,"device_type":"sensor","type":"subscribe"|"unsubscribe"}
std::string SubscriptionPayload(bool subscribe, const std::string& deviceId);

// A device id is the last 12 characters of an advertised name of at least 13.
std::optional<std::string> DeviceIdFromName(const std::string& name);

}  // namespace hub_events
