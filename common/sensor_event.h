#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// One reading as blehub publishes it on "brelix.sensor":
//   {"data":{"ts":1700000000,"v":35},"device_id":"AABBCCDDEEFF","sensor_type":"PM_2_5"}
struct SensorEvent {
    std::string device_id;
    std::string sensor_type;
    nlohmann::json data;  // always an object
};

// What a node's id and a sensor type may be wherever they come from outside (bus events, the
// cloud): they end up in MQTT topics, report bodies, heartbeat lists and file names. blehub's
// ids are 12 hex digits, "_" and a sensor index after them for a node's further sensors
// ("AABBCCDDEEFF_2"); its types are short names such as "PM_2_5".
constexpr std::size_t kMaxDeviceIdBytes = 24;
constexpr std::size_t kMaxSensorTypeBytes = 16;
// 1 to kMaxDeviceIdBytes letters, digits or "_".
bool ValidDeviceId(std::string_view id);
// 1 to kMaxSensorTypeBytes letters, digits or "_".
bool ValidSensorType(std::string_view type);

// Parses and checks an event's text. An event that cannot be used (bad JSON, a member missing
// or of the wrong type, an id or type outside the rule above) is logged at error level and
// yields nothing.
std::optional<SensorEvent> ParseSensorEvent(const char* text);
