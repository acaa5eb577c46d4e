#include "bluetooth_le.h"

#include <algorithm>
#include <exception>

#include "hub_events.h"
#include "log.h"
#include "node_protocol.h"
#include "node_table.h"

BluetoothLE::BluetoothLE()
    : snapshot(status::PackageVersion("blehub")),
      heartbeat(timers, heartbeat::kBlehub, kHeartbeatPeriod),
      reconnects(timers, [this](const std::string& deviceId) {
          queue.Push(mailbox::Make<DeviceRef>(kDirectConnect, DeviceRef{deviceId}));
      }) {
    nvram.LoadSysParams();  // queue_limit
    queue.SetLimit(static_cast<std::size_t>(std::max(nvram.queue_limit, 0)),
                   [](const mailbox::Message& m) { return m.code == kSensorData; });
    nvram.LoadNodePaths();
    nvram.LoadWhitelist();
    try {
        connection = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        LOGE << "System bus: " << e.what();
    }
}

BluetoothLE::~BluetoothLE() = default;

namespace {

constexpr const char* kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";

}  // namespace

int BluetoothLE::Run() {
    if (!connection) {
        SendStatusError(kStatusBluezMissing);
        return 0;
    }
    try {
        StartBus();
        if (!SetUpAdapter()) {
            LOGE << "No Bluetooth adapter " << bluez::kAdapterPath << ": waiting for it";
            SendStatusError(kStatusCharacteristicError);
        }
        SubscribeEvents();
        heartbeat.Start(kFirstHeartbeat);
        loop.AfterPass([this] { RefreshStatus(); });
        loop.Run(running, [this](mailbox::Message& message) { Handle(message); });
    } catch (const sdbus::Error& e) {
        LOGE << e.what();
        if (e.getName() == kServiceUnknown)
            SendStatusError(kStatusBluezMissing);
    } catch (const std::exception& e) {
        LOGE << e.what();
    }
    // Whatever ended the loop, the bus loop is left before anything it reaches goes away.
    running = false;
    UnsubscribeEvents();
    heartbeat.Stop();
    timers.CancelAll();
    Close();
    return busLost ? 1 : 0;
}

void BluetoothLE::StartBus() {
    adapter = std::make_unique<Adapter>(*connection);
    interfaceEvent = std::make_unique<InterfaceEvent>(
        *connection,
        [this](const sdbus::ObjectPath& path, const bluez::InterfaceMap& interfaces) {
            InterfaceEventHandler(path, interfaces);
        },
        [this](const sdbus::ObjectPath& path, const std::vector<std::string>& interfaces) {
            InterfaceRemovedHandler(path, interfaces);
        });
    bluezOwner = std::make_unique<OwnerWatch>(*connection, bluez::kService, [this](bool owned) {
        queue.Push(mailbox::Message(owned ? kBluezBack : kBluezGone));
    });
    busLoop = std::make_unique<BusLoop>(*connection, [this](const std::string&) {
        busLost = true;
        queue.Push(mailbox::Message(kSystemBusLost));
    });
    // Watching before the adapter is looked at: one that appears meanwhile is not missed.
    busLoop->Start();
}

bool BluetoothLE::SetUpAdapter() {
    if (!interfaceEvent->HasObject(bluez::kAdapterPath, bluez::kAdapterInterface))
        return false;
    adapterPresent = true;
    Init();
    adapterReady = true;
    return true;
}

bool BluetoothLE::Init() {
    adapter->SetPowered(true);
    LOGV << "TODO: Discovery Filter에 RSSI를 넣을지 검토하자";
    adapter->SetDiscoveryFilter(
        {{"UUIDs", sdbus::Variant(std::vector<std::string>{node_protocol::kServiceUuid})}});
    try {
        adapter->StartDiscovery();
    } catch (const sdbus::Error& e) {
        // A discovery that already runs serves the hub as well.
        if (e.getName() != "org.bluez.Error.InProgress")
            throw;
        LOGW << e.what();
    }
    queue.Push(mailbox::Message(kReconnectStored));
    return true;
}

void BluetoothLE::Close() {
    if (adapterReady && !busLost) {
        try {
            if (adapter->Discovering())
                adapter->StopDiscovery();
        } catch (const sdbus::Error& e) {
            LOGE << e.what();
        }
        DeleteAllNode();
    } else {
        DropAllNode();  // nobody to tell
    }
    adapterReady = false;
    if (busLoop)
        busLoop->Stop();
    busLoop.reset();
    bluezOwner.reset();
    interfaceEvent.reset();
    adapter.reset();
    LOGV;
}

void BluetoothLE::AdapterAppeared() {
    if (adapterReady || !bluezOnBus)
        return;
    try {
        nvram.LoadNodePaths();  // also the sensors stored since the start
        if (SetUpAdapter())
            LOGI << "Adapter " << bluez::kAdapterPath << " is ready";
    } catch (const sdbus::Error& e) {
        LOGE << e.what();
        // BlueZ leaving again is reported by its owner watch.
        if (e.getName() != kServiceUnknown)
            SendStatusError(kStatusCharacteristicError);
    }
}

void BluetoothLE::AdapterRemoved() {
    if (!adapterReady)
        return;
    LOGE << "Adapter " << bluez::kAdapterPath << " removed";
    adapterPresent = false;
    SendStatusError(kStatusCharacteristicError);
    ForgetAdapter();
}

void BluetoothLE::BluezGone() {
    if (!bluezOnBus)
        return;
    bluezOnBus = false;
    adapterPresent = false;
    LOGE << "BlueZ (org.bluez) left the bus";
    SendStatusError(kStatusBluezMissing);
    ForgetAdapter();
    connectDeviceOffered = true;  // the next bluetoothd may offer it
}

void BluetoothLE::BluezBack() {
    if (bluezOnBus)
        return;
    bluezOnBus = true;
    LOGI << "BlueZ (org.bluez) is on the bus again";
    AdapterAppeared();  // or later, when it announces the adapter
}

void BluetoothLE::ForgetAdapter() {
    adapterReady = false;
    abandoned.clear();
    for (const auto& deviceId : DropAllNode()) {
        nodeStatus.Failed(deviceId);
        SendSubscription(false, deviceId);
    }
}

void BluetoothLE::InterfaceRemovedHandler(const sdbus::ObjectPath& path,
                                          const std::vector<std::string>& interfaces) {
    if (path != bluez::kAdapterPath)
        return;
    for (const auto& name : interfaces) {
        if (name == bluez::kAdapterInterface) {
            queue.Push(mailbox::Message(kAdapterRemoved));
            return;
        }
    }
}

void BluetoothLE::SubscribeEvents() {
    RefreshStatus();
    snapshot.Serve(listener, "blehub", {"status", "nodes"});
    listener.Register(hub_events::kManagerEvent,
                      [this](const char* json) { UBUSManagerHandler(json); });
    listener.Register(hub_events::kWebsocketEvent,
                      [this](const char* json) { UBUSWebsocketHandler(json); });
    listener.ServerStart();
}

void BluetoothLE::UnsubscribeEvents() {
    listener.Unregister(hub_events::kManagerEvent);
    listener.Unregister(hub_events::kWebsocketEvent);
    listener.ServerStop();
}

void BluetoothLE::Handle(mailbox::Message& message) {
    switch (message.code) {
        case kSensorData:
            if (auto* reading = message.As<SensorReading>())
                PublishReading(*reading);
            break;
        case kSensorFolds:
            if (auto* command = message.As<FoldsCommand>()) {
                LOGV << "SENSOR_FOLDS";
                LOGV << command->deviceId;
                for (const auto& [key, fold] : command->folds)
                    LOGV << key << " " << fold;
            }
            break;
        case kSensorBeacon:
            if (auto* command = message.As<BeaconCommand>()) {
                LOGV << "SENSOR_BEACON";
                if (auto& node = FindNode(command->deviceId))
                    node->BeaconUpdate(command->on);
            }
            break;
        case kAddSensor:
            if (auto* device = message.As<DiscoveredDevice>()) {
                nodeStatus.Seen(device->deviceId, device->rssi, status::UnixNow());
                AddSensor(device->deviceId, device->path, device->address);
            }
            break;
        case kRemoveSensor:
            if (auto* device = message.As<DeviceRef>())
                RemoveSensor(device->deviceId);
            break;
        case kAddBleService:
            LOGV << "ADD_BLE_SERVICE";
            break;
        case kRemoveBleService:
            LOGV << "REMOVE_BLE_SERVICE";
            break;
        case kAddCharacteristic:
            if (auto* found = message.As<CharacteristicFound>()) {
                AddCharacteristic(found->uuid, found->path);
            }
            break;
        case kDirectConnect:
            if (auto* device = message.As<DeviceRef>())
                DirectConnectSensor(device->deviceId);
            break;
        case kReconnectStored:
            ReconnectStored();
            break;
        case kAdapterAdded:
            AdapterAppeared();
            break;
        case kAdapterRemoved:
            AdapterRemoved();
            break;
        case kBluezGone:
            BluezGone();
            break;
        case kBluezBack:
            BluezBack();
            break;
        case kCharacteristicCheck:
            if (auto* ref = message.As<NodeRef>())
                CheckCharacteristics(*ref);
            break;
        case kSystemBusLost:
            LOGE << "System bus lost: ending";
            SendStatusError(kStatusBluezMissing);
            running = false;
            break;
        default:
            break;  // not a hub work item
    }
}

void BluetoothLE::SendStatusError(const int& code) {
    heartbeat::SendError(code);
}

void BluetoothLE::SendSubscription(const bool& subscribe, const std::string& deviceId) {
    loop.Events().SendEvent(hub_events::kWebsocketEvent,
                            hub_events::SubscriptionPayload(subscribe, deviceId));
}

namespace {

std::string Firmware(const std::array<uint8_t, 4>& version) {
    if (version == std::array<uint8_t, 4>{})
        return "";
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

}  // namespace

void BluetoothLE::RefreshStatus() {
    if (!snapshot.Due())
        return;
    const int64_t now = status::UnixNow();
    for (const auto& id : nodeStatus.Ids()) {
        if (auto& node = FindNode(id)) {
            NodeStatus::Live live{node->Name(), Firmware(node->Version()), std::nullopt,
                                  node->LastClockUpdate()};
            if (node->Rssi() != Node::kNoRssi)
                live.rssi = node->Rssi();
            nodeStatus.Update(id, live);
        }
    }
    const bool ready = adapterReady;
    snapshot.Set(
        "status",
        {{"adapter", {{"present", adapterPresent}, {"powered", ready}, {"discovering", ready}}},
         {"bluez_on_bus", bluezOnBus},
         {"readings",
          {{"published", published},
           {"dropped", loop.Dropped()},
           {"undecodable", undecodable.load()}}},
         {"nodes", nodeStatus.Json(now, false)}});
    snapshot.Set("nodes", {{"nodes", nodeStatus.Json(now, true)}});
}
