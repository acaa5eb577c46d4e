#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "properties_proxy.h"

// A BlueZ device object ("org.bluez.Device1").
class Device final : public PropertiesProxy {
  public:
    using Reply = std::function<void(const sdbus::Error* error)>;

    Device(sdbus::IConnection& connection, const std::string& path, Handler handler);

    // Whether BlueZ holds a device object at `path` (known from discovery or a connection).
    static bool Exists(sdbus::IConnection& connection, const std::string& path);

    // "Connect" without waiting; `reply` runs on the bus thread.
    void ConnectAsync(std::chrono::microseconds timeout, Reply reply);
    bool IsConnected();
    void Disconnect();
};
