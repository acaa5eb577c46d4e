#pragma once

#include <chrono>
#include <map>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

// The local Bluetooth adapter ("org.bluez.Adapter1" on /org/bluez/hci0).
class Adapter : public sdbus::ProxyInterfaces<> {
  public:
    explicit Adapter(sdbus::IConnection& connection);
    ~Adapter();

    void SetPowered(bool on);
    bool Discovering();
    void SetDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter);
    void StartDiscovery();
    void StopDiscovery();
    void RemoveDevice(const std::string& path);
    // Connects a device by address; gives the device's object path.
    std::string ConnectDevice(const std::string& address, const std::string& addressType,
                              std::chrono::microseconds timeout);
};
