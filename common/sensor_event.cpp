#include "sensor_event.h"

#include "log.h"

namespace {

bool Name(std::string_view text, std::size_t max) {
    if (text.empty() || text.size() > max)
        return false;
    for (const char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    }
    return true;
}

const char* Problem(const nlohmann::json& event) {
    if (!event.is_object())
        return "not an object";
    auto id = event.find("device_id");
    if (id == event.end() || !id->is_string())
        return "\"device_id\" missing or not a string";
    if (!ValidDeviceId(id->get_ref<const std::string&>()))
        return "\"device_id\" is not a device id";
    auto type = event.find("sensor_type");
    if (type == event.end() || !type->is_string())
        return "\"sensor_type\" missing or not a string";
    if (!ValidSensorType(type->get_ref<const std::string&>()))
        return "\"sensor_type\" is not a sensor type";
    auto data = event.find("data");
    if (data == event.end() || !data->is_object())
        return "\"data\" missing or not an object";
    return nullptr;
}

}  // namespace

bool ValidDeviceId(std::string_view id) {
    return Name(id, kMaxDeviceIdBytes);
}

bool ValidSensorType(std::string_view type) {
    return Name(type, kMaxSensorTypeBytes);
}

std::optional<SensorEvent> ParseSensorEvent(const char* text) {
    if (text == nullptr)
        text = "";
    nlohmann::json event;
    try {
        event = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        LOGE << "Invalid sensor event : " << logging::Quote(e.what());
        return std::nullopt;
    }
    if (const char* problem = Problem(event)) {
        LOGE << "Invalid sensor event, dropped : " << problem << " : " << logging::Quote(text);
        return std::nullopt;
    }
    SensorEvent out;
    out.device_id = std::move(event["device_id"].get_ref<std::string&>());
    out.sensor_type = std::move(event["sensor_type"].get_ref<std::string&>());
    out.data = std::move(event["data"]);
    return out;
}
