#include "node.h"

#include <cstdio>

#include "fnv.h"
#include "log.h"
#include "node_protocol.h"

using namespace fnv::literals;

namespace {

uint64_t NextSerial() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

std::optional<sdbus::Error> Copy(const sdbus::Error* error) {
    if (error == nullptr)
        return std::nullopt;
    return *error;
}

}  // namespace

Node::Node(const std::string& deviceId, timer::TimeSource& time, timer::UnixClock unixTime)
    : deviceId(deviceId),
      serial(NextSerial()),
      connectReplyHandler([this](std::optional<sdbus::Error> error) { OnConnectReply(error); }),
      epochHandler([this](bool aborted) { EpochUpdateHandler(aborted); }),
      unixTime(std::move(unixTime)),
      timers(time) {}

Node::~Node() {
    // Proxies first: no property change or reply reaches a half-destroyed node.
    device.reset();
    dataChar.reset();
    fotaChar.reset();
    std::lock_guard<std::mutex> lock(charMutex);
    commandChar.reset();
}

void Node::SetCallbacks(ConnectionCallback connection, DataCallback data) {
    connectionCallback = std::move(connection);
    dataCallback = std::move(data);
}

void Node::WatchCharacteristics(std::chrono::seconds timeout, MissingCallback missing) {
    missingCallback = std::move(missing);
    timers.Add(timeout, [this](bool aborted) {
        if (!aborted && characteristicFlag != node_protocol::kAllCharacteristics &&
            missingCallback) {
            missingCallback(deviceId, serial);
        }
    });
}

void Node::AttachDevice(const std::shared_ptr<sdbus::IConnection>& connection,
                        const std::string& path) {
    device = std::make_unique<Device>(*connection, path,
                                      [this](const std::string& name, const sdbus::Variant& value) {
                                          DevicePropHandler(name, value);
                                      });
}

void Node::Connect(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& path) {
    AttachDevice(connection, path);
    device->ConnectAsync(kConnectTimeout,
                         [this](const sdbus::Error* error) { connectReplyHandler(Copy(error)); });
}

void Node::OnConnectReply(std::optional<sdbus::Error> error) {
    if (!error)
        return;
    switch (fnv::Hash(error->getName())) {
        case "org.bluez.Error.Failed"_hash:
        case "org.freedesktop.DBus.Error.NoReply"_hash:
            LOGV << deviceId << " : " << error->what();
            if (connectionCallback)
                connectionCallback(deviceId, false);
            break;
        default:
            LOGV << deviceId << " : " << error->what();
            break;
    }
}

void Node::RegisterCharacteristic(const std::shared_ptr<sdbus::IConnection>& connection,
                                  const std::string& uuid, const std::string& path) {
    auto handlerFor = [this](void (Node::*member)(const std::string&, const sdbus::Variant&)) {
        return [this, member](const std::string& name, const sdbus::Variant& value) {
            (this->*member)(name, value);
        };
    };
    switch (node_protocol::CharacteristicBitOf(uuid)) {
        case node_protocol::kCommandBit: {
            auto characteristic = std::make_shared<GattCharacteristic>(
                *connection, path, handlerFor(&Node::CommandPropHandler));
            {
                std::lock_guard<std::mutex> lock(charMutex);
                commandChar = characteristic;
            }
            characteristic->StartNotify();
            characteristicFlag |= node_protocol::kCommandBit;
            break;
        }
        case node_protocol::kDataBit:
            dataChar = std::make_unique<GattCharacteristic>(*connection, path,
                                                            handlerFor(&Node::DataPropHandler));
            dataChar->StartNotify();
            characteristicFlag |= node_protocol::kDataBit;
            break;
        case node_protocol::kFotaBit:
            fotaChar = std::make_unique<GattCharacteristic>(*connection, path,
                                                            handlerFor(&Node::FotaPropHandler));
            fotaChar->StartNotify();
            characteristicFlag |= node_protocol::kFotaBit;
            break;
        default:
            break;
    }
    if (characteristicFlag == node_protocol::kAllCharacteristics) {
        WriteCommand(node_protocol::InfoRequest(), std::chrono::microseconds(0),
                     "information request");
    }
}

void Node::DataPropHandler(const std::string& name, const sdbus::Variant& value) {
    if (name != "Value" || !dataCallback)
        return;
    if (auto bytes = bluez::ValueOf<std::vector<uint8_t>>(name, value)) {
        dataCallback(deviceId, *bytes);
    }
}

void Node::CommandPropHandler(const std::string& name, const sdbus::Variant& value) {
    LOGV << deviceId << " : " << name;
    switch (fnv::Hash(name)) {
        case "Value"_hash: {
            auto bytes = bluez::ValueOf<std::vector<uint8_t>>(name, value);
            if (!bytes)
                return;
            node_protocol::NodeInfo info;
            switch (node_protocol::ParseInfoResponse(*bytes, info)) {
                case node_protocol::InfoStatus::kOk: {
                    {
                        std::lock_guard<std::mutex> lock(infoMutex);
                        this->name = info.name;
                        version = info.version;
                    }
                    epochTimer = timers.Add(kFirstClockUpdate, epochHandler);
                    char text[128];
                    std::snprintf(text, sizeof(text), "Connected to %s(%s) v%d.%d.%d+%d",
                                  info.name.c_str(), deviceId.c_str(), info.version[0],
                                  info.version[1], info.version[2], info.version[3]);
                    LOGI << text;
                    break;
                }
                case node_protocol::InfoStatus::kWrongSize:
                    LOGE << "Something Wrong!!! Size missmatch " << bytes->size();
                    break;
                case node_protocol::InfoStatus::kNotInfo:
                    break;
            }
            break;
        }
        case "Notifying"_hash:
            if (auto on = bluez::ValueOf<bool>(name, value)) {
                LOGV << name << " : " << *on;
            }
            break;
        default:
            break;
    }
}

void Node::FotaPropHandler(const std::string& name, const sdbus::Variant& /*value*/) {
    LOGV << deviceId << " : " << name;
}

void Node::EpochUpdateHandler(bool aborted) {
    if (aborted)
        return;
    LOGI << "Update UNIX Epoch Time for " << Name() << "(" << deviceId << ")";
    // The next update is armed before this one goes out, so the period counts from here.
    epochTimer = timers.Add(kClockUpdatePeriod, epochHandler);
    // A clock that cannot be told leaves the node's as it is rather than setting it wrong.
    const auto now = node_protocol::NodeTime(unixTime());
    if (!now) {
        LOGE << "No clock update for " << deviceId << ": the time is out of the node's range";
        return;
    }
    if (WriteCommand(node_protocol::ClockUpdate(*now), kClockWriteTimeout, "clock update"))
        lastClockUpdate = static_cast<int64_t>(*now);
}

void Node::DevicePropHandler(const std::string& name, const sdbus::Variant& value) {
    switch (fnv::Hash(name)) {
        case "Connected"_hash: {
            auto on = bluez::ValueOf<bool>(name, value);
            if (!on)
                return;
            if (*on) {
                LOGI << "Connected to " << deviceId;
            } else {
                LOGE << "Disconnected from " << deviceId;
                timers.Cancel(epochTimer);
            }
            connected = *on;
            if (connectionCallback)
                connectionCallback(deviceId, *on);
            break;
        }
        case "RSSI"_hash:
            if (auto level = bluez::ValueOf<int16_t>(name, value)) {
                LOGV << name << " " << *level;
                rssi = *level;
            }
            break;
        case "ServicesResolved"_hash:
            if (auto resolved = bluez::ValueOf<bool>(name, value)) {
                LOGV << name << " " << *resolved;
                LOGV << "characteristic_flag "
                     << (characteristicFlag == node_protocol::kAllCharacteristics ? 1 : 0);
            }
            break;
        default:
            break;
    }
}

void Node::BeaconUpdate(const bool& on) {
    WriteCommand(node_protocol::BeaconCommand(on), std::chrono::microseconds(0), "beacon");
}

bool Node::WriteCommand(const std::vector<uint8_t>& bytes, std::chrono::microseconds timeout,
                        const char* what) {
    std::shared_ptr<GattCharacteristic> characteristic;
    {
        std::lock_guard<std::mutex> lock(charMutex);
        characteristic = commandChar;
    }
    if (!characteristic) {
        LOGW << deviceId << ": no command characteristic, " << what << " dropped";
        return false;
    }
    try {
        characteristic->WriteValueAsync(bytes, timeout, [what](const sdbus::Error* error) {
            if (error != nullptr) {
                LOGE << what << ": " << error->getMessage();
            }
        });
    } catch (const sdbus::Error& e) {
        LOGE << what << ": " << e.what();
        return false;
    }
    return true;
}

void Node::Disconnect() {
    if (!device)
        return;
    try {
        if (device->IsConnected())
            device->Disconnect();
    } catch (const sdbus::Error& e) {
        // The node is being dropped either way.
        LOGE << deviceId << ": " << e.what();
    }
}

std::string Node::DevicePath() const {
    return device ? device->Path() : std::string();
}

std::string Node::Name() const {
    std::lock_guard<std::mutex> lock(infoMutex);
    return name;
}

std::array<uint8_t, 4> Node::Version() const {
    std::lock_guard<std::mutex> lock(infoMutex);
    return version;
}
