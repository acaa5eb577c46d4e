#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

// blehub's work items on its mailbox queue (codes below 3007 are shared by all daemons).
enum HubMessage : int32_t {
    kSensorData = 3007,         // SensorReading
    kSensorFolds = 3010,        // FoldsCommand
    kSensorBeacon = 3011,       // BeaconCommand
    kAddSensor = 3014,          // DiscoveredDevice
    kRemoveSensor = 3015,       // DeviceRef
    kAddBleService = 3016,      // none
    kRemoveBleService = 3017,   // none
    kAddCharacteristic = 3018,  // CharacteristicFound
    kDirectConnect = 3020,      // DeviceRef
    kReconnectStored = 3021,    // none
};

struct SensorReading {
    std::string key;
    nlohmann::json reading;
};

struct FoldsCommand {
    std::string deviceId;
    std::map<std::string, int> folds;
};

struct BeaconCommand {
    std::string deviceId;
    bool on = false;
};

struct DiscoveredDevice {
    std::string deviceId;
    std::string path;
    std::string address;
};

struct DeviceRef {
    std::string deviceId;
};

struct CharacteristicFound {
    std::string uuid;
    std::string path;
};
