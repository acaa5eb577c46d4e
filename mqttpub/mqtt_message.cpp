#include "mqtt_message.h"

#include <mosquitto.h>

#include "log.h"

namespace {

// An id must be one topic level: no separator, no wildcard, valid UTF-8.
bool ValidLevel(const std::string& level) {
    if (level.find_first_of("/+#") != std::string::npos)
        return false;
    return mosquitto_validate_utf8(level.c_str(), static_cast<int>(level.size())) ==
           MOSQ_ERR_SUCCESS;
}

}  // namespace

std::optional<MqttMessage> BuildMqttMessage(const SensorEvent& event) {
    if (!ValidLevel(event.device_id) || !ValidLevel(event.sensor_type)) {
        LOGE << "Reading dropped : no topic can be made of " << logging::Quote(event.device_id)
             << " and " << logging::Quote(event.sensor_type);
        return std::nullopt;
    }
    MqttMessage m;
    m.topic = "brelix/" + event.device_id + "/" + event.sensor_type;
    try {
        m.payload = event.data.dump();
    } catch (const std::exception& e) {
        LOGE << "Reading dropped : " << e.what();
        return std::nullopt;
    }
    return m;
}

std::string AvailabilityTopic(const std::string& gateway_id) {
    return "brelix/" + gateway_id + "/status";
}
