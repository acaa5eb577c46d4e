#include "sensor_classes.h"

#include <iterator>

namespace {

// Every type blehub decodes. A type is given a device class and unit only where its meaning is
// certain; the others are plain numeric measurements, which Home Assistant still graphs.
constexpr SensorClass kClasses[] = {
    {"DT", "DT", nullptr, nullptr, "measurement"},
    {"AT", "Temperature", "temperature", "°C", "measurement"},
    {"RH", "Humidity", "humidity", "%", "measurement"},
    {"LX", "Illuminance", "illuminance", "lx", "measurement"},
    // Nodes send pascals (101325 at sea level).
    {"AP", "Pressure", "atmospheric_pressure", "Pa", "measurement"},
    {"NL", "Noise level", "sound_pressure", "dB", "measurement"},
    {"CM", "Carbon monoxide", "carbon_monoxide", "ppm", "measurement"},
    {"CD", "Carbon dioxide", "carbon_dioxide", "ppm", "measurement"},
    {"ECD", "ECD", nullptr, nullptr, "measurement"},
    {"TV", "TVOC", "volatile_organic_compounds_parts", "ppb", "measurement"},
    {"PM_1_0", "PM1", "pm1", "µg/m³", "measurement"},
    {"PM_2_5", "PM2.5", "pm25", "µg/m³", "measurement"},
    {"PM_10", "PM10", "pm10", "µg/m³", "measurement"},
    {"PS", "PS", nullptr, nullptr, "measurement"},
    {"MS", "Moisture", "moisture", "%", "measurement"},
    {"PH", "pH", "ph", nullptr, "measurement"},
    {"EC", "Conductivity", "conductivity", "µS/cm", "measurement"},
    {"CI", "CI", nullptr, nullptr, "measurement"},
    {"VI", "VI", nullptr, nullptr, "measurement"},
    {"SD", "SD", nullptr, nullptr, "measurement"},
    {"FA", "FA", nullptr, nullptr, "measurement"},
    {"PI", "PI", nullptr, nullptr, "measurement"},
    {"PO", "PO", nullptr, nullptr, "measurement"},
};

}  // namespace

const SensorClass* FindSensorClass(const std::string& type) {
    for (const auto& c : kClasses) {
        if (type == c.type)
            return &c;
    }
    return nullptr;
}
