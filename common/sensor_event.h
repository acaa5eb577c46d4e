#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// One reading as blehub publishes it on "brelix.sensor":
//   {"data":{"ts":1700000000,"v":35},"device_id":"AABBCCDDEEFF","sensor_type":"PM_2_5"}
struct SensorEvent {
    std::string device_id;
    std::string sensor_type;
    nlohmann::json data;  // always an object
};

// Parses and checks an event's text. An event that cannot be used (bad JSON, a member missing
// or of the wrong type, an empty id or type) is logged at error level and yields nothing.
std::optional<SensorEvent> ParseSensorEvent(const char* text);
