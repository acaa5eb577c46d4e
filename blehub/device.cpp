#include "device.h"

#include "log.h"

Device::Device(sdbus::IConnection& connection, const std::string& path, Handler handler)
    : PropertiesProxy(connection, path, bluez::kDeviceInterface, std::move(handler)) {}

bool Device::Exists(sdbus::IConnection& connection, const std::string& path) {
    auto proxy = sdbus::createProxy(connection, bluez::kService, path);
    try {
        proxy->getProperty("Address").onInterface(bluez::kDeviceInterface);
        return true;
    } catch (const sdbus::Error& e) {
        LOGV << path << ": " << e.getName();
        return false;
    }
}

void Device::ConnectAsync(std::chrono::microseconds timeout, Reply reply) {
    Proxy()
        .callMethodAsync("Connect")
        .onInterface(bluez::kDeviceInterface)
        .withTimeout(timeout)
        .uponReplyInvoke([reply = std::move(reply)](const sdbus::Error* error) {
            if (reply)
                reply(error);
        });
}

bool Device::IsConnected() {
    const sdbus::Variant value =
        Proxy().getProperty("Connected").onInterface(bluez::kDeviceInterface);
    return bluez::ValueOf<bool>("Connected", value).value_or(false);
}

void Device::Disconnect() {
    Proxy().callMethod("Disconnect").onInterface(bluez::kDeviceInterface);
}
