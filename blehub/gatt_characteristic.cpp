#include "gatt_characteristic.h"

#include <map>

GattCharacteristic::GattCharacteristic(sdbus::IConnection& connection, const std::string& path,
                                       Handler handler)
    : PropertiesProxy(connection, path, bluez::kGattCharacteristicInterface, std::move(handler)) {}

void GattCharacteristic::StartNotify() {
    Proxy().callMethod("StartNotify").onInterface(bluez::kGattCharacteristicInterface);
}

void GattCharacteristic::WriteValueAsync(const std::vector<uint8_t>& bytes,
                                         std::chrono::microseconds timeout, Reply reply) {
    const std::map<std::string, sdbus::Variant> options;
    Proxy()
        .callMethodAsync("WriteValue")
        .onInterface(bluez::kGattCharacteristicInterface)
        .withTimeout(timeout)
        .withArguments(bytes, options)
        .uponReplyInvoke([reply = std::move(reply)](const sdbus::Error* error) {
            if (reply)
                reply(error);
        });
}
