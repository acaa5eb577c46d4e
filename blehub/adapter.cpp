#include "adapter.h"

#include "bluez.h"

Adapter::Adapter(sdbus::IConnection& connection)
    : ProxyInterfaces(connection, bluez::kService, bluez::kAdapterPath) {
    registerProxy();
}

Adapter::~Adapter() {
    unregisterProxy();
}

void Adapter::SetPowered(bool on) {
    getProxy().setProperty("Powered").onInterface(bluez::kAdapterInterface).toValue(on);
}

bool Adapter::Discovering() {
    const sdbus::Variant value =
        getProxy().getProperty("Discovering").onInterface(bluez::kAdapterInterface);
    return bluez::ValueOf<bool>("Discovering", value).value_or(false);
}

void Adapter::SetDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter) {
    getProxy()
        .callMethod("SetDiscoveryFilter")
        .onInterface(bluez::kAdapterInterface)
        .withArguments(filter);
}

void Adapter::StartDiscovery() {
    getProxy().callMethod("StartDiscovery").onInterface(bluez::kAdapterInterface);
}

void Adapter::StopDiscovery() {
    getProxy().callMethod("StopDiscovery").onInterface(bluez::kAdapterInterface);
}

void Adapter::RemoveDevice(const std::string& path) {
    getProxy()
        .callMethod("RemoveDevice")
        .onInterface(bluez::kAdapterInterface)
        .withArguments(sdbus::ObjectPath(path));
}

std::string Adapter::ConnectDevice(const std::string& address, const std::string& addressType,
                                   std::chrono::microseconds timeout) {
    const std::map<std::string, sdbus::Variant> properties{
        {"Address", sdbus::Variant(address)},
        {"AddressType", sdbus::Variant(addressType)},
    };
    sdbus::ObjectPath path;
    getProxy()
        .callMethod("ConnectDevice")
        .onInterface(bluez::kAdapterInterface)
        .withTimeout(timeout)
        .withArguments(properties)
        .storeResultsTo(path);
    return path;
}
