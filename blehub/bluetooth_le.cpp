#include "bluetooth_le.h"

#include <algorithm>
#include <exception>

#include "hub_events.h"
#include "log.h"
#include "node_protocol.h"
#include "node_table.h"

BluetoothLE::BluetoothLE()
    : heartbeat(timers, heartbeat::kBlehub, kHeartbeatPeriod),
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

void BluetoothLE::Run() {
    if (!connection) {
        SendStatusError(kStatusBluezMissing);
        return;
    }
    try {
        Init();
        SubscribeEvents();
        heartbeat.Start(kFirstHeartbeat);
        loop.Run(running, [this](mailbox::Message& message) { Handle(message); });
    } catch (const sdbus::Error& e) {
        LOGE << e.what();
        if (e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown") {
            SendStatusError(kStatusBluezMissing);
        }
        return;
    } catch (const std::exception& e) {
        LOGE << e.what();
        running = false;
    }
    UnsubscribeEvents();
    timers.CancelAll();
    Close();
}

bool BluetoothLE::Init() {
    adapter = std::make_unique<Adapter>(*connection);
    adapter->SetPowered(true);
    LOGV << "TODO: Discovery Filter에 RSSI를 넣을지 검토하자";
    adapter->SetDiscoveryFilter(
        {{"UUIDs", sdbus::Variant(std::vector<std::string>{node_protocol::kServiceUuid})}});
    interfaceEvent = std::make_unique<InterfaceEvent>(
        *connection, [this](const sdbus::ObjectPath& path, const bluez::InterfaceMap& interfaces) {
            InterfaceEventHandler(path, interfaces);
        });
    connection->enterEventLoopAsync();
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
    if (adapter) {
        try {
            if (adapter->Discovering())
                adapter->StopDiscovery();
        } catch (const sdbus::Error& e) {
            LOGE << e.what();
        }
        DeleteAllNode();
        connection->leaveEventLoop();
        interfaceEvent.reset();
        adapter.reset();
    }
    LOGV;
}

void BluetoothLE::SubscribeEvents() {
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
