#include "properties_proxy.h"

#include <exception>

#include "log.h"

PropertiesProxy::PropertiesProxy(sdbus::IConnection& connection, const std::string& path,
                                 std::string interfaceName, Handler handler)
    : ProxyInterfaces(connection, bluez::kService, path),
      interface_(std::move(interfaceName)),
      handler_(std::move(handler)) {
    getProxy().registerSignalHandler(bluez::kPropertiesInterface, "PropertiesChanged",
                                     [this](sdbus::Signal& signal) { OnSignal(signal); });
    registerProxy();
}

PropertiesProxy::~PropertiesProxy() {
    unregisterProxy();
}

void PropertiesProxy::OnSignal(sdbus::Signal& signal) {
    std::string interfaceName;
    bluez::Properties changed;
    std::vector<std::string> invalidated;
    try {
        signal >> interfaceName >> changed >> invalidated;
    } catch (const sdbus::Error& e) {
        LOGE << "Malformed PropertiesChanged on " << getObjectPath() << ": " << e.what();
        return;
    }
    try {
        onPropertiesChanged(interfaceName, changed, invalidated);
    } catch (const std::exception& e) {
        LOGE << getObjectPath() << ": " << e.what();
    }
}

void PropertiesProxy::onPropertiesChanged(const std::string& interfaceName,
                                          const bluez::Properties& changed,
                                          const std::vector<std::string>& /*invalidated*/) {
    // Only the watched interface: a device object also reports e.g. its battery service.
    if (!handler_ || interfaceName != interface_)
        return;
    for (const auto& [name, value] : changed)
        handler_(name, value);
}
