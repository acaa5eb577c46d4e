// The hub's side of a node's life: admission, removal and direct reconnection.
#include <algorithm>
#include <cctype>

#include "bluetooth_le.h"
#include "connect_errors.h"
#include "device.h"
#include "log.h"
#include "node_protocol.h"
#include "node_table.h"
#include "skeleton.h"

namespace {

constexpr const char* kNotReady = "org.bluez.Error.NotReady";

// BlueZ names a device object after its address: .../dev_AA_BB_CC_DD_EE_FF.
std::string DevicePathOf(std::string address) {
    std::replace(address.begin(), address.end(), ':', '_');
    std::transform(address.begin(), address.end(), address.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return std::string(bluez::kAdapterPath) + "/dev_" + address;
}

}  // namespace

std::unique_ptr<Node> BluetoothLE::MakeNode(const std::string& deviceId) {
    auto node = std::make_unique<Node>(deviceId);
    node->SetCallbacks(
        [this](const std::string& id, const bool& connected) { ConnectionHandler(id, connected); },
        [this](const std::string& id, const std::vector<unsigned char>& bytes) {
            DataHandler(id, bytes);
        });
    return node;
}

void BluetoothLE::AddSensor(const std::string& deviceId, const std::string& path,
                            const std::string& address) {
    if (!adapterReady) {
        LOGV << "Skip " << deviceId << ": no adapter";
        return;
    }
    // A stored device is reconnected by address instead, where BlueZ offers that.
    if (connectDeviceOffered && nvram.HasNodePath(path)) {
        LOGV << "Skip " << deviceId;
        return;
    }
    if (FindNode(deviceId)) {
        LOGW << "Sensor Device(" << deviceId << ") is already served";
        return;
    }
    LOGI << "Add Sensor Device(" << deviceId << ")";
    auto node = MakeNode(deviceId);
    try {
        node->Connect(connection, path);
    } catch (const sdbus::Error& e) {
        LOGE << "Sensor Device(" << deviceId << "): " << e.what();
        return;
    }
    nvram.SaveNode(path, deviceId, address);
    nodeStatus.Connecting(deviceId, status::UnixNow());
    SendSubscription(true, deviceId);
    WatchCharacteristics(*node);
    AddNode(std::move(node));
    abandoned.erase(path);
}

void BluetoothLE::WatchCharacteristics(Node& node) {
    if (nvram.gatt_timeout <= 0)
        return;
    node.WatchCharacteristics(
        std::chrono::seconds(nvram.gatt_timeout),
        [this](const std::string& deviceId, uint64_t serial) {
            queue.Push(mailbox::Make<NodeRef>(kCharacteristicCheck, NodeRef{deviceId, serial}));
        });
}

void BluetoothLE::CheckCharacteristics(const NodeRef& ref) {
    auto& node = FindNode(ref.deviceId);
    if (!node || node->Serial() != ref.serial ||
        node->CharacteristicFlag() == node_protocol::kAllCharacteristics) {
        return;
    }
    // It holds one of the controller's few links for nothing; its disconnection removes it
    // (ConnectionHandler), and discovery or the reconnect path brings it back later.
    LOGW << "Sensor Device(" << ref.deviceId << ") did not show its characteristics within "
         << nvram.gatt_timeout << " s: disconnected";
    if (node->Connected()) {
        node->Disconnect();
    } else {
        RemoveSensor(ref.deviceId);
    }
}

bool BluetoothLE::RemoveAbandoned(const std::string& path) {
    for (auto it = abandoned.begin(); it != abandoned.end(); ++it) {
        if (path.compare(0, it->size() + 1, *it + "/") != 0)
            continue;
        LOGI << "Remove " << *it << ": connected after its connection was given up";
        try {
            adapter->RemoveDevice(*it);
        } catch (const sdbus::Error& e) {
            LOGE << e.what();
        }
        abandoned.erase(it);
        return true;
    }
    return false;
}

void BluetoothLE::AddCharacteristic(const std::string& uuid, const std::string& path) {
    LOGV << "ADD_BLE_CHARACTERISTIC";
    auto& node = FindNodeByPath(path);
    if (!node) {
        RemoveAbandoned(path);
        return;
    }
    try {
        node->RegisterCharacteristic(connection, uuid, path);
    } catch (const std::exception& e) {
        LOGE << e.what();
        SendStatusError(kStatusCharacteristicError);
        return;
    }
    // Served: a later failure starts its retries from the first delay again.
    if (node->CharacteristicFlag() == node_protocol::kAllCharacteristics) {
        reconnects.Reset(node->DeviceId());
        nodeStatus.Served(node->DeviceId(), status::UnixNow());
    }
}

void BluetoothLE::ConnectionHandler(const std::string& deviceId, const bool& connected) {
    LOGV << deviceId << " " << connected;
    // Connected alone is not served yet (a node may never show its characteristics): the
    // retry delays start again once it is (AddCharacteristic).
    if (connected)
        return;
    queue.Push(mailbox::Make<DeviceRef>(kRemoveSensor, DeviceRef{deviceId}));
}

void BluetoothLE::RemoveSensor(const std::string& deviceId) {
    LOGI << "Remove Sensor Device(" << deviceId << ")";
    if (!adapterReady)
        return;  // its node went with the adapter
    nodeStatus.Failed(deviceId);
    std::optional<std::string> path = DeleteNode(deviceId);
    if (!path)
        path = nvram.FindNodePath(deviceId);
    if (!path || path->empty()) {
        // Neither served nor stored: nothing to remove or to reconnect.
        LOGW << "Sensor Device(" << deviceId << ") is unknown";
        return;
    }
    SendSubscription(false, deviceId);
    try {
        adapter->RemoveDevice(*path);
    } catch (const sdbus::Error& e) {
        LOGE << e.what();
        if (e.getName() == kNotReady) {
            LOGE << "TODO: Send Error to Manager";
            SendStatusError(kStatusCharacteristicError);
            // Without a heartbeat the supervisor restarts the hub. Stopped as well as
            // cancelled: a heartbeat being sent right now would arm the next one.
            heartbeat.Stop();
            timers.CancelAll();
            return;
        }
        // Not in BlueZ's cache (any more): a direct connection still works.
    }
    reconnects.Schedule(deviceId);
}

void BluetoothLE::DirectConnectSensor(const std::string& deviceId) {
    LOGI << "Direct connect to Sensor Device(" << deviceId << ")";
    if (!adapterReady) {
        LOGV << deviceId << ": no adapter";
        return;
    }
    if (FindNode(deviceId)) {
        LOGV << deviceId << " is connected";
        return;
    }
    const std::string address = nvram.FindNodeAddress(deviceId);
    if (address.empty()) {
        LOGW << "Sensor Device(" << deviceId << ") has no stored address";
        return;
    }
    if (!connectDeviceOffered) {
        ConnectKnownDevice(deviceId, address);
        return;
    }
    // Every direct connection is a retry of the reconnect schedule.
    nodeStatus.Connecting(deviceId, status::UnixNow());
    nodeStatus.Retry(deviceId);
    auto node = MakeNode(deviceId);
    // Watched before it connects: a link that falls as soon as ConnectDevice answers would
    // otherwise go unnoticed, and the node would stay in the table without data for good.
    const std::string expectedPath = DevicePathOf(address);
    for (bool firstAttempt = true;; firstAttempt = false) {
        try {
            node->AttachDevice(connection, expectedPath);
            const std::string path =
                adapter->ConnectDevice(address, "random", kConnectDeviceTimeout);
            if (path != expectedPath)
                node->AttachDevice(connection, path);
            break;
        } catch (const sdbus::Error& e) {
            if (firstAttempt &&
                ClassifyConnectError(e.getName()) == ConnectErrorAction::kRemoveAndRetry) {
                // Discovery brings a removed device back as soon as it advertises: connect
                // again straight after the removal instead of after the next retry delay.
                LOGV << e.getMessage();
                // A new node, so that the stale object's removal does not reach it.
                node = MakeNode(deviceId);
                RemoveStaleDevice(deviceId, address);
                continue;
            }
            node.reset();
            HandleConnectError(deviceId, address, e);
            return;
        }
    }
    WatchCharacteristics(*node);
    AddNode(std::move(node));
    abandoned.erase(DevicePathOf(address));
    SendSubscription(true, deviceId);
}

void BluetoothLE::ConnectKnownDevice(const std::string& deviceId, const std::string& address) {
    const std::string path = DevicePathOf(address);
    if (!Device::Exists(*connection, path)) {
        LOGV << deviceId << ": connected when discovery finds it";
        return;
    }
    AddSensor(deviceId, path, address);
}

void BluetoothLE::RemoveStaleDevice(const std::string& deviceId, const std::string& address) {
    const std::optional<std::string> stored = nvram.FindNodePath(deviceId);
    try {
        adapter->RemoveDevice(stored ? *stored : DevicePathOf(address));
    } catch (const sdbus::Error& e) {
        LOGE << e.what();
    }
}

void BluetoothLE::HandleConnectError(const std::string& deviceId, const std::string& address,
                                     const sdbus::Error& error) {
    nodeStatus.Failed(deviceId);
    switch (ClassifyConnectError(error.getName())) {
        case ConnectErrorAction::kForget:
            LOGV << error.getMessage();
            LOGI << "Device(" << deviceId << ") is turn-off or out-of-range.";
            // Without its object in BlueZ, its next advertisement announces it afresh.
            RemoveStaleDevice(deviceId, address);
            abandoned.insert(DevicePathOf(address));
            if (auto stored = nvram.FindNodePath(deviceId))
                nvram.RemoveNode(*stored);
            reconnects.Reset(deviceId);
            break;
        case ConnectErrorAction::kRemoveAndRetry:
            LOGV << error.getMessage();
            RemoveStaleDevice(deviceId, address);
            reconnects.Schedule(deviceId);
            break;
        case ConnectErrorAction::kRetryLoud:
            LOGE << error.what();
            reconnects.Schedule(deviceId);
            break;
        case ConnectErrorAction::kRetry:
            LOGW << error.what();
            reconnects.Schedule(deviceId);
            break;
        case ConnectErrorAction::kNotOffered:
            LOGE << "ConnectDevice is not offered (bluetoothd runs without its experimental "
                    "interfaces): stored sensors are connected when discovery finds them";
            connectDeviceOffered = false;
            ConnectKnownDevice(deviceId, address);
            break;
        case ConnectErrorAction::kIgnore:
            LOGV << error.what();
            break;
    }
}

void BluetoothLE::ReconnectStored() {
    if (!adapterReady)
        return;  // queued before the adapter went; its return queues another
    const std::vector<std::string> paths = nvram.NodePaths();
    for (const auto& path : paths) {
        if (!running)
            break;
        // Out of BlueZ's cache first, so that the connection brings fresh characteristics.
        try {
            adapter->RemoveDevice(path);
        } catch (const sdbus::Error& e) {
            LOGV << e.what();
        }
        skeleton::Sleep(kSweepPause);
        const std::string deviceId = nvram.FindNodeId(path);
        if (deviceId.empty())
            continue;
        queue.Push(mailbox::Make<DeviceRef>(kDirectConnect, DeviceRef{deviceId}));
    }
}
