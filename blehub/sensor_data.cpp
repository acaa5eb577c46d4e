#include "sensor_data.h"

#include <cstring>
#include <stdexcept>

#include "log.h"

namespace {

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Built before main; only read afterwards.
const std::map<int, std::string> kSensorTypes = {
    {1, "DT"},     {2, "AT"},  {3, "RH"},  {4, "LX"},  {5, "AP"},      {6, "NL"},
    {7, "CM"},     {8, "CD"},  {9, "ECD"}, {10, "TV"}, {11, "PM_1_0"}, {12, "PM_2_5"},
    {13, "PM_10"}, {14, "PS"}, {15, "MS"}, {16, "PH"}, {17, "EC"},     {18, "CI"},
    {19, "VI"},    {20, "SD"}, {21, "FA"}, {22, "PI"}, {23, "PO"},
};

}  // namespace

const std::map<int, std::string>& SensorTypes() {
    return kSensorTypes;
}

std::tuple<nlohmann::json, int> SensorDataToJson(const uint8_t* frame) {
    nlohmann::json reading;
    try {
        reading["k"] = kSensorTypes.at(frame[0]);
    } catch (const std::out_of_range& e) {
        LOGE << e.what() << " (sensor type " << static_cast<int>(frame[0]) << ")";
        return {nullptr, frame[1]};
    }

    const uint32_t raw = ReadU32(frame + 7);
    switch (frame[2]) {
        case kFormatUnsigned:
            reading["v"] = raw;
            break;
        case kFormatSigned:
            reading["v"] = static_cast<int64_t>(static_cast<int32_t>(raw));
            break;
        case kFormatFloat: {
            float value;
            static_assert(sizeof(value) == sizeof(raw), "float must be 32 bits");
            std::memcpy(&value, &raw, sizeof(value));
            // Widened exactly: 0.1f prints as 0.10000000149011612.
            reading["v"] = static_cast<double>(value);
            break;
        }
        default:
            break;  // a format the hub does not know carries no value
    }
    reading["ts"] = ReadU32(frame + 3);
    return {reading, frame[1]};
}

std::string SensorDeviceKey(const std::string& deviceId, int index) {
    if (index == 0)
        return deviceId;
    return deviceId + "_" + std::to_string(index);
}

std::string SensorEventPayload(const std::string& deviceKey, const std::string& sensorType,
                               const nlohmann::json& data) {
    nlohmann::json payload;
    payload["device_id"] = deviceKey;
    payload["sensor_type"] = sensorType;
    payload["data"] = data;
    return payload.dump();
}
