#pragma once

#include <string>

// How Home Assistant shows one sensor type. A null member is left out of the discovery config.
struct SensorClass {
    const char* type;          // as on "brelix.sensor"
    const char* name;          // the entity's name
    const char* device_class;  // Home Assistant's sensor device class
    const char* unit;          // unit_of_measurement
    const char* state_class;
};

// Nothing for a type the nodes do not send.
const SensorClass* FindSensorClass(const std::string& type);
