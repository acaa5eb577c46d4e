#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

// The 11-byte reading frame a sensor node notifies on its data characteristic:
//   type(1) index(1) format(1) timestamp(4, LE) value(4, LE)
constexpr std::size_t kSensorFrameSize = 11;

enum SensorFormat : uint8_t {
    kFormatUnsigned = 0,
    kFormatSigned = 1,
    kFormatFloat = 2,
};

// Sensor type code -> name; no other code is valid.
const std::map<int, std::string>& SensorTypes();

// Decodes a frame (kSensorFrameSize bytes readable) into {"k","ts"[,"v"]} and the sensor
// index. A type code outside the table is logged and gives a null reading.
std::tuple<nlohmann::json, int> SensorDataToJson(const uint8_t* frame);

// Device id for index 0, otherwise id + "_" + index.
std::string SensorDeviceKey(const std::string& deviceId, int index);

// The "brelix.sensor" payload: {"data":{...},"device_id":key,"sensor_type":type}.
std::string SensorEventPayload(const std::string& deviceKey, const std::string& sensorType,
                               const nlohmann::json& data);
