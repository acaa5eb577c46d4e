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
#include "bus_loop.h"
#include "heartbeat.h"
#include "interface_event.h"
#include "mailbox.h"
#include "main_loop.h"
#include "messages.h"
#include "node.h"
#include "node_status.h"
#include "nvram.h"
#include "owner_watch.h"
#include "reconnect_scheduler.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "timer_queue.h"
#include "ubus.h"

// The BLE hub: drives the adapter through BlueZ, admits whitelisted sensor nodes, keeps
// them connected and publishes their readings. Decisions are taken on the worker loop in
// Run(); the D-Bus, ubus and timer threads only post messages. It follows BlueZ and the
// adapter coming and going: without them it waits, and sets the adapter up again on their
// return.
class BluetoothLE {
  public:
    static constexpr int kStatusCharacteristicError = 2001;  // also: adapter missing or gone
    static constexpr int kStatusBluezMissing = 2002;         // also: fatal signal, bus lost
    static constexpr std::chrono::seconds kFirstHeartbeat{20};
    static constexpr std::chrono::seconds kHeartbeatPeriod{60};
    static constexpr std::chrono::milliseconds kLoopPause{100};
    static constexpr std::chrono::seconds kConnectDeviceTimeout{3};
    static constexpr std::chrono::seconds kSweepPause{1};

    BluetoothLE();
    BluetoothLE(const BluetoothLE&) = delete;
    BluetoothLE& operator=(const BluetoothLE&) = delete;
    virtual ~BluetoothLE();

    // Gives the process's exit status: 1 when the system bus went away, else 0.
    int Run();
    // Clears the running flag; safe from a signal handler.
    void Stop() { running = false; }

    // Powers the adapter, sets the discovery filter, starts discovery and queues the
    // reconnection of the stored sensors.
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
    // Main loop: the status object's answers, at most once a second.
    void RefreshStatus();

  private:
    // The bus side: adapter proxy, object and owner watches, and the event-loop thread.
    void StartBus();
    // Init() when the adapter is there; false (nothing done) when it is not.
    bool SetUpAdapter();
    void AdapterAppeared();
    void AdapterRemoved();
    void BluezGone();
    void BluezBack();
    // Drops the nodes of an adapter that is gone and tells wsbridge they are not served.
    void ForgetAdapter();
    void InterfaceRemovedHandler(const sdbus::ObjectPath& path,
                                 const std::vector<std::string>& interfaces);
    void WatchCharacteristics(Node& node);
    void CheckCharacteristics(const NodeRef& ref);
    // Without ConnectDevice: connects a stored sensor whose device object BlueZ holds, as a
    // discovered one; otherwise discovery admits it when it advertises.
    void ConnectKnownDevice(const std::string& deviceId, const std::string& address);
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

    // The queue and what the handlers reach come first, so that they outlive every thread
    // that pushes into them: the bus objects below are destroyed (and the bus loop left)
    // before them.
    std::atomic<bool> running{true};
    queue::ThreadSafeQueue<mailbox::Message> queue;
    mailbox::MainLoop loop{queue, kLoopPause};
    NVRAM nvram;
    // Worker loop only:
    std::set<std::string> abandoned;  // device paths
    bool adapterReady = false;        // powered, filtered, discovering
    bool bluezOnBus = true;
    bool connectDeviceOffered = true;  // until bluetoothd answers UnknownMethod
    std::atomic<bool> busLost{false};  // set on the bus thread
    // Status: worker loop only, but for the undecodable frames the bus thread counts.
    NodeStatus nodeStatus;
    bool adapterPresent = false;
    uint64_t published = 0;
    std::atomic<uint64_t> undecodable{0};
    // Before the listener, whose loop answers from it.
    status::Snapshot snapshot;
    ubus::Listener listener;
    std::shared_ptr<sdbus::IConnection> connection;
    std::unique_ptr<Adapter> adapter;
    std::unique_ptr<InterfaceEvent> interfaceEvent;
    std::unique_ptr<OwnerWatch> bluezOwner;
    std::unique_ptr<BusLoop> busLoop;
    heartbeat::Sender heartbeat;
    ReconnectScheduler reconnects;
    // Last, so that it is destroyed first: its handlers reach the members above.
    timer::TimerQueue timers;
};
