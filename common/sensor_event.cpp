#include "sensor_event.h"

#include "log.h"

namespace {

// Long events are cut in the log line; the start is enough to find the sender.
std::string Excerpt(const char* text) {
    constexpr std::size_t kMax = 200;
    std::string s(text);
    if (s.size() > kMax)
        s = s.substr(0, kMax) + "...";
    return s;
}

const char* Problem(const nlohmann::json& event) {
    if (!event.is_object())
        return "not an object";
    auto id = event.find("device_id");
    if (id == event.end() || !id->is_string())
        return "\"device_id\" missing or not a string";
    if (id->get_ref<const std::string&>().empty())
        return "\"device_id\" is empty";
    auto type = event.find("sensor_type");
    if (type == event.end() || !type->is_string())
        return "\"sensor_type\" missing or not a string";
    if (type->get_ref<const std::string&>().empty())
        return "\"sensor_type\" is empty";
    auto data = event.find("data");
    if (data == event.end() || !data->is_object())
        return "\"data\" missing or not an object";
    return nullptr;
}

}  // namespace

std::optional<SensorEvent> ParseSensorEvent(const char* text) {
    if (text == nullptr)
        text = "";
    nlohmann::json event;
    try {
        event = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        LOGE << "Invalid sensor event : " << e.what();
        return std::nullopt;
    }
    if (const char* problem = Problem(event)) {
        LOGE << "Invalid sensor event, dropped : " << problem << " : " << Excerpt(text);
        return std::nullopt;
    }
    SensorEvent out;
    out.device_id = std::move(event["device_id"].get_ref<std::string&>());
    out.sensor_type = std::move(event["sensor_type"].get_ref<std::string&>());
    out.data = std::move(event["data"]);
    return out;
}
