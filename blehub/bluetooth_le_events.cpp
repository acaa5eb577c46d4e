// What the D-Bus and ubus threads hand to the worker loop, and the readings it publishes.
#include <exception>

#include "bluetooth_le.h"
#include "fnv.h"
#include "hub_events.h"
#include "log.h"
#include "node_protocol.h"
#include "sensor_data.h"

using namespace fnv::literals;

void BluetoothLE::InterfaceEventHandler(const sdbus::ObjectPath& path,
                                        const bluez::InterfaceMap& interfaces) {
    LOGV << path;
    try {
        for (const auto& [interfaceName, properties] : interfaces) {
            switch (fnv::Hash(interfaceName)) {
                case "org.bluez.Adapter1"_hash:
                    if (path == bluez::kAdapterPath)
                        queue.Push(mailbox::Message(kAdapterAdded));
                    break;
                case "org.bluez.Device1"_hash:
                    HandleDeviceProperties(path, properties);
                    break;
                case "org.bluez.GattService1"_hash:
                    break;  // the characteristics are what the hub needs
                case "org.bluez.GattCharacteristic1"_hash: {
                    auto it = properties.find("UUID");
                    if (it == properties.end())
                        break;
                    auto uuid = bluez::ValueOf<std::string>(it->first, it->second);
                    if (uuid && node_protocol::CharacteristicBitOf(*uuid) != 0) {
                        queue.Push(mailbox::Make<CharacteristicFound>(
                            kAddCharacteristic, CharacteristicFound{*uuid, path}));
                    }
                    break;
                }
                default:
                    break;
            }
        }
    } catch (const std::exception& e) {
        LOGE << e.what();
    }
}

void BluetoothLE::HandleDeviceProperties(const std::string& path,
                                         const bluez::Properties& properties) {
    std::string deviceId;
    std::string address;
    std::optional<int> rssi;
    bool admitted = false;
    for (const auto& [name, value] : properties) {
        switch (fnv::Hash(name)) {
            case "Name"_hash: {
                auto text = bluez::ValueOf<std::string>(name, value);
                if (!text)
                    break;
                auto id = hub_events::DeviceIdFromName(*text);
                if (!id || !nvram.IsWhitelisted(*id)) {
                    LOGV << "Skip " << *text;
                    break;
                }
                deviceId = *id;
                admitted = true;
                break;
            }
            case "Address"_hash:
                if (auto text = bluez::ValueOf<std::string>(name, value))
                    address = *text;
                break;
            case "Adapter"_hash:
                if (auto adapterPath = bluez::ValueOf<sdbus::ObjectPath>(name, value)) {
                    LOGV << name << " : " << *adapterPath;
                }
                break;
            case "RSSI"_hash:
                if (auto level = bluez::ValueOf<int16_t>(name, value))
                    rssi = *level;
                break;
            case "AddressType"_hash:
            case "Alias"_hash:
                if (auto text = bluez::ValueOf<std::string>(name, value)) {
                    LOGV << name << " : " << *text;
                }
                break;
            case "ServicesResolved"_hash:
            case "Trusted"_hash:
            case "Connected"_hash:
            case "LegacyPairing"_hash:
            case "Paired"_hash:
            case "Blocked"_hash:
                if (auto flag = bluez::ValueOf<bool>(name, value)) {
                    LOGV << name << " : " << *flag;
                }
                break;
            default:
                break;
        }
    }
    if (admitted) {
        queue.Push(mailbox::Make<DiscoveredDevice>(
            kAddSensor, DiscoveredDevice{deviceId, path, address, rssi}));
    }
}

void BluetoothLE::DataHandler(const std::string& deviceId,
                              const std::vector<unsigned char>& bytes) {
    LOGV << deviceId;
    if (bytes.size() != kSensorFrameSize) {
        LOGE << "Wrong Size.. " << bytes.size();
        ++undecodable;
        return;
    }
    auto [reading, index] = SensorDataToJson(bytes.data());
    if (reading.is_null()) {
        ++undecodable;
        return;
    }
    queue.Push(mailbox::Make<SensorReading>(
        kSensorData,
        SensorReading{deviceId, SensorDeviceKey(deviceId, index), std::move(reading)}));
}

void BluetoothLE::PublishReading(const SensorReading& reading) {
    LOGV << "Receive Sensor Data(" << reading.key << ")";
    LOGV << reading.reading.dump();
    const auto type = reading.reading.find("k");
    if (type == reading.reading.end() || !type->is_string())
        return;
    nlohmann::json data = reading.reading;
    data.erase("k");
    SendSensorData(reading.key, type->get<std::string>(), data);
    const auto value = data.find("v");
    if (value != data.end() && value->is_number()) {
        nodeStatus.Reading(reading.node, reading.key, type->get<std::string>(),
                           value->get<double>(), status::UnixNow());
    }
}

void BluetoothLE::SendSensorData(const std::string& deviceKey, const std::string& sensorType,
                                 const nlohmann::json& data) {
    if (loop.Events().SendEvent(hub_events::kSensorEvent,
                                SensorEventPayload(deviceKey, sensorType, data)))
        ++published;
}

void BluetoothLE::UBUSManagerHandler(const char* json) {
    hub_events::ParseManagerEvent(json);
}

void BluetoothLE::UBUSWebsocketHandler(const char* json) {
    LOGV << logging::Cut(json ? json : "");
    if (auto message = hub_events::ParseWebsocketEvent(json))
        queue.Push(std::move(*message));
}
