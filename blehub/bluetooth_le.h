#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>
#include <nlohmann/json.hpp>

#include "adapter.h"
#include "bluez.h"
#include "heartbeat.h"
#include "interface_event.h"
#include "mailbox.h"
#include "main_loop.h"
#include "messages.h"
#include "node.h"
#include "nvram.h"
#include "reconnect_scheduler.h"
#include "thread_safe_queue.h"
#include "timer_queue.h"
#include "ubus.h"

// The BLE hub: drives the adapter through BlueZ, admits whitelisted sensor nodes, keeps
// them connected and publishes their readings. Decisions are taken on the worker loop in
// Run(); the D-Bus, ubus and timer threads only post messages.
class BluetoothLE {
  public:
    static constexpr int kStatusCharacteristicError = 2001;  // also: adapter not ready
    static constexpr int kStatusBluezMissing = 2002;         // also: fatal signal
    static constexpr std::chrono::seconds kFirstHeartbeat{20};
    static constexpr std::chrono::seconds kHeartbeatPeriod{60};
    static constexpr std::chrono::milliseconds kLoopPause{100};
    static constexpr std::chrono::seconds kConnectDeviceTimeout{3};
    static constexpr std::chrono::seconds kSweepPause{1};

    BluetoothLE();
    BluetoothLE(const BluetoothLE&) = delete;
    BluetoothLE& operator=(const BluetoothLE&) = delete;
    virtual ~BluetoothLE();

    void Run();
    // Clears the running flag; safe from a signal handler.
    void Stop() { running = false; }

    bool Init();
    void Close();
    void Handle(mailbox::Message& message);

    void InterfaceEventHandler(const sdbus::ObjectPath& path,
                               const bluez::InterfaceMap& interfaces);
    void ConnectionHandler(const std::string& deviceId, const bool& connected);
    void DataHandler(const std::string& deviceId, const std::vector<unsigned char>& bytes);
    void RemoveSensor(const std::string& deviceId);
    void DirectConnectSensor(const std::string& deviceId);
    void UBUSManagerHandler(const char* json);
    void UBUSWebsocketHandler(const char* json);

    static void SendStatusError(const int& code);
    // Main loop only: these share the pass's bus connection.
    void SendSubscription(const bool& subscribe, const std::string& deviceId);
    void SendSensorData(const std::string& deviceKey, const std::string& sensorType,
                        const nlohmann::json& data);

  private:
    void SubscribeEvents();
    void UnsubscribeEvents();
    void AddSensor(const std::string& deviceId, const std::string& path,
                   const std::string& address);
    void AddCharacteristic(const std::string& uuid, const std::string& path);
    void PublishReading(const SensorReading& reading);
    void ReconnectStored();
    // Takes a device object that blocks a direct connection out of BlueZ.
    void RemoveStaleDevice(const std::string& deviceId, const std::string& address);
    void HandleConnectError(const std::string& deviceId, const std::string& address,
                            const sdbus::Error& error);
    void HandleDeviceProperties(const std::string& path, const bluez::Properties& properties);
    std::unique_ptr<Node> MakeNode(const std::string& deviceId);
    // True (and the device removed) when `path` lies under a device whose direct connection
    // was given up: BlueZ may still complete such an attempt, leaving a link nobody serves.
    bool RemoveAbandoned(const std::string& path);

    std::shared_ptr<sdbus::IConnection> connection;
    std::unique_ptr<Adapter> adapter;
    std::unique_ptr<InterfaceEvent> interfaceEvent;
    std::atomic<bool> running{true};
    std::set<std::string> abandoned;  // device paths; worker loop only
    queue::ThreadSafeQueue<mailbox::Message> queue;
    mailbox::MainLoop loop{queue, kLoopPause};
    NVRAM nvram;
    ubus::Listener listener;
    heartbeat::Sender heartbeat;
    ReconnectScheduler reconnects;
    // Last, so that it is destroyed first: its handlers reach the members above.
    timer::TimerQueue timers;
};
