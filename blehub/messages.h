#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// blehub's work items on its mailbox queue (codes below 3007 are shared by all daemons).
enum HubMessage : int32_t {
    kSensorData = 3007,           // SensorReading
    kSensorFolds = 3010,          // FoldsCommand
    kSensorBeacon = 3011,         // BeaconCommand
    kAddSensor = 3014,            // DiscoveredDevice
    kRemoveSensor = 3015,         // DeviceRef
    kAddBleService = 3016,        // none
    kRemoveBleService = 3017,     // none
    kAddCharacteristic = 3018,    // CharacteristicFound
    kDirectConnect = 3020,        // DeviceRef
    kReconnectStored = 3021,      // none
    kAdapterAdded = 3022,         // none: hci0 appeared
    kAdapterRemoved = 3023,       // none: hci0 went away
    kBluezGone = 3024,            // none: org.bluez lost its owner
    kBluezBack = 3025,            // none: org.bluez has an owner again
    kCharacteristicCheck = 3026,  // NodeRef: a node's time to show its characteristics is up
    kSystemBusLost = 3027,        // none: the D-Bus event loop ended with an error
};

struct SensorReading {
    std::string node;  // the node's id
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
    std::optional<int> rssi;
};

struct DeviceRef {
    std::string deviceId;
};

struct NodeRef {
    std::string deviceId;
    uint64_t serial = 0;  // Node::Serial(): this node, not a later one with the same id
};

struct CharacteristicFound {
    std::string uuid;
    std::string path;
};
