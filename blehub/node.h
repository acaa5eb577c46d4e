#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "device.h"
#include "gatt_characteristic.h"
#include "timer_queue.h"

// One connected sensor node: its BlueZ device and three characteristics, its small command
// protocol (information request, clock updates, beacon) and the hub's callbacks.
class Node {
  public:
    using ConnectionCallback =
        std::function<void(const std::string& deviceId, const bool& connected)>;
    using DataCallback =
        std::function<void(const std::string& deviceId, const std::vector<unsigned char>& bytes)>;
    // Runs on the node's timer thread.
    using MissingCallback = std::function<void(const std::string& deviceId, uint64_t serial)>;

    static constexpr std::chrono::seconds kConnectTimeout{5};
    static constexpr std::chrono::seconds kFirstClockUpdate{2};
    static constexpr std::chrono::seconds kClockUpdatePeriod{6 * 60 * 60};
    static constexpr std::chrono::seconds kClockWriteTimeout{5};

    explicit Node(const std::string& deviceId, timer::TimeSource& time = timer::SteadyTime(),
                  timer::UnixClock unixTime = timer::SystemUnixTime);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    virtual ~Node();

    void SetCallbacks(ConnectionCallback connection, DataCallback data);
    // Calls `missing` once `timeout` from now unless all three characteristics are
    // registered by then. Call at most once per node.
    void WatchCharacteristics(std::chrono::seconds timeout, MissingCallback missing);

    void AttachDevice(const std::shared_ptr<sdbus::IConnection>& connection,
                      const std::string& path);
    // Attaches the device and asks BlueZ to connect it, without waiting.
    void Connect(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& path);
    // Subscribes to one of the node's characteristics; D-Bus errors propagate.
    void RegisterCharacteristic(const std::shared_ptr<sdbus::IConnection>& connection,
                                const std::string& uuid, const std::string& path);

    void DevicePropHandler(const std::string& name, const sdbus::Variant& value);
    void CommandPropHandler(const std::string& name, const sdbus::Variant& value);
    void FotaPropHandler(const std::string& name, const sdbus::Variant& value);
    void EpochUpdateHandler(bool aborted);
    void OnConnectReply(std::optional<sdbus::Error> error);

    void BeaconUpdate(const bool& on);
    void Disconnect();

    const std::string& DeviceId() const { return deviceId; }
    // Unique in the process: tells this node from a later one with the same id.
    uint64_t Serial() const { return serial; }
    std::string DevicePath() const;
    std::string Name() const;
    std::array<uint8_t, 4> Version() const;
    bool Connected() const { return connected; }
    // The last RSSI BlueZ reported while connected (kNoRssi: none).
    static constexpr int kNoRssi = 1000;
    int Rssi() const { return rssi; }
    // Unix seconds of the last clock update written, 0 before the first.
    int64_t LastClockUpdate() const { return lastClockUpdate; }
    uint16_t CharacteristicFlag() const { return characteristicFlag; }

  private:
    void DataPropHandler(const std::string& name, const sdbus::Variant& value);
    // Writes to the command characteristic without waiting; false when it is not registered.
    bool WriteCommand(const std::vector<uint8_t>& bytes, std::chrono::microseconds timeout,
                      const char* what);

    std::atomic<bool> connected{false};
    const std::string deviceId;
    const uint64_t serial;
    mutable std::mutex infoMutex;  // name and version: written on the bus thread
    std::string name;
    std::array<uint8_t, 4> version{};
    std::atomic<uint64_t> epochTimer{0};
    std::atomic<uint16_t> characteristicFlag{0};
    std::atomic<int> rssi{kNoRssi};
    std::atomic<int64_t> lastClockUpdate{0};
    std::unique_ptr<Device> device;
    std::shared_ptr<GattCharacteristic> commandChar;  // read by the timer thread
    std::unique_ptr<GattCharacteristic> dataChar;
    std::unique_ptr<GattCharacteristic> fotaChar;
    mutable std::mutex charMutex;  // guards commandChar
    std::function<void(std::optional<sdbus::Error>)> connectReplyHandler;
    ConnectionCallback connectionCallback;
    DataCallback dataCallback;
    std::function<void(bool)> epochHandler;
    MissingCallback missingCallback;
    timer::UnixClock unixTime;  // the date the node's clock is set to
    // Last, so that it is destroyed first: its thread is joined before the rest goes away.
    timer::TimerQueue timers;
};
