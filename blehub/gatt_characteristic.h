#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "properties_proxy.h"

// A BlueZ GATT characteristic object ("org.bluez.GattCharacteristic1").
class GattCharacteristic final : public PropertiesProxy {
  public:
    using Reply = std::function<void(const sdbus::Error* error)>;

    GattCharacteristic(sdbus::IConnection& connection, const std::string& path, Handler handler);

    void StartNotify();
    // "WriteValue" with empty options, without waiting; a zero timeout is the bus default.
    void WriteValueAsync(const std::vector<uint8_t>& bytes, std::chrono::microseconds timeout,
                         Reply reply);
};
