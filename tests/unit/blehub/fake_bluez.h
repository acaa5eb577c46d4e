#pragma once

// BlueZ's side of one sensor node for the node tests: a device object and GATT
// characteristics served on a private bus under the name "org.bluez", recording what the
// hub writes and emitting the property changes a node would cause.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

class FakeBluez {
  public:
    using Bytes = std::vector<uint8_t>;

    static constexpr const char* kDevicePath = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF";
    static constexpr const char* kCommandPath =
        "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service0010/char0011";
    static constexpr const char* kDataPath =
        "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service0010/char0014";
    static constexpr const char* kFotaPath =
        "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service0010/char0017";

    explicit FakeBluez(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        connection_->requestName("org.bluez");
        AddDevice(kDevicePath);
        for (const char* path : {kCommandPath, kDataPath, kFotaPath})
            AddCharacteristic(path);
        connection_->enterEventLoopAsync();
    }

    ~FakeBluez() {
        connection_->leaveEventLoop();
        objects_.clear();
    }

    std::vector<Bytes> Writes(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_[path];
    }
    int NotifyStarts(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return notifyStarts_[path];
    }
    int Disconnects() {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnects_;
    }
    void SetConnected(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = on;
    }

    // A PropertiesChanged signal of `interface` on `path` with one property.
    void Emit(const std::string& path, const std::string& interface, const std::string& name,
              const sdbus::Variant& value) {
        auto signal =
            objects_.at(path)->createSignal("org.freedesktop.DBus.Properties", "PropertiesChanged");
        signal << interface << std::map<std::string, sdbus::Variant>{{name, value}}
               << std::vector<std::string>{};
        objects_.at(path)->emitSignal(signal);
    }
    void Notify(const std::string& path, const Bytes& value) {
        Emit(path, "org.bluez.GattCharacteristic1", "Value", sdbus::Variant(value));
    }

  private:
    void AddDevice(const std::string& path) {
        auto object = sdbus::createObject(*connection_, path);
        object->registerProperty("Connected").onInterface("org.bluez.Device1").withGetter([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return connected_;
        });
        object->registerMethod("Disconnect").onInterface("org.bluez.Device1").implementedAs([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++disconnects_;
            connected_ = false;
        });
        object->finishRegistration();
        objects_[path] = std::move(object);
    }

    void AddCharacteristic(const std::string& path) {
        auto object = sdbus::createObject(*connection_, path);
        const char* interface = "org.bluez.GattCharacteristic1";
        object->registerMethod("StartNotify").onInterface(interface).implementedAs([this, path] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++notifyStarts_[path];
        });
        object->registerMethod("WriteValue")
            .onInterface(interface)
            .implementedAs(
                [this, path](const Bytes& value, const std::map<std::string, sdbus::Variant>&) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    writes_[path].push_back(value);
                });
        object->finishRegistration();
        objects_[path] = std::move(object);
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::map<std::string, std::unique_ptr<sdbus::IObject>> objects_;
    std::mutex mutex_;
    std::map<std::string, std::vector<Bytes>> writes_;
    std::map<std::string, int> notifyStarts_;
    int disconnects_ = 0;
    bool connected_ = true;
};
