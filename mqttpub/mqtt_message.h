#pragma once

#include <optional>
#include <string>

#include "sensor_event.h"

// One reading as an MQTT message: topic "brelix/<device id>/<sensor type>", the "data" object as
// compact JSON with its keys sorted.
struct MqttMessage {
    std::string topic;
    std::string payload;
};

// Nothing (and an error line) when the ids do not make a valid topic name (wildcards, '/').
std::optional<MqttMessage> BuildMqttMessage(const SensorEvent& event);

// Where the gateway says "online" and, as its last will, "offline": "brelix/<gateway id>/status".
std::string AvailabilityTopic(const std::string& gateway_id);
