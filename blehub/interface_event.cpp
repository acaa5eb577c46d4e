#include "interface_event.h"

#include <exception>

#include "log.h"

InterfaceEvent::InterfaceEvent(sdbus::IConnection& connection, Handler handler,
                               RemovedHandler removed)
    : ProxyInterfaces(connection, bluez::kService, "/"),
      handler(std::move(handler)),
      removed(std::move(removed)) {
    auto& proxy = getProxy();
    proxy.registerSignalHandler(bluez::kObjectManagerInterface, "InterfacesAdded",
                                [this](sdbus::Signal& signal) {
                                    sdbus::ObjectPath path;
                                    bluez::InterfaceMap interfaces;
                                    try {
                                        signal >> path >> interfaces;
                                    } catch (const sdbus::Error& e) {
                                        LOGE << "Malformed InterfacesAdded: " << e.what();
                                        return;
                                    }
                                    try {
                                        onInterfacesAdded(path, interfaces);
                                    } catch (const std::exception& e) {
                                        LOGE << path << ": " << e.what();
                                    }
                                });
    proxy.registerSignalHandler(bluez::kObjectManagerInterface, "InterfacesRemoved",
                                [this](sdbus::Signal& signal) {
                                    sdbus::ObjectPath path;
                                    std::vector<std::string> interfaces;
                                    try {
                                        signal >> path >> interfaces;
                                    } catch (const sdbus::Error& e) {
                                        LOGE << "Malformed InterfacesRemoved: " << e.what();
                                        return;
                                    }
                                    try {
                                        onInterfacesRemoved(path, interfaces);
                                    } catch (const std::exception& e) {
                                        LOGE << path << ": " << e.what();
                                    }
                                });
    registerProxy();
}

InterfaceEvent::~InterfaceEvent() {
    unregisterProxy();
}

void InterfaceEvent::onInterfacesAdded(const sdbus::ObjectPath& path,
                                       const bluez::InterfaceMap& interfaces) {
    if (handler)
        handler(path, interfaces);
}

void InterfaceEvent::onInterfacesRemoved(const sdbus::ObjectPath& path,
                                         const std::vector<std::string>& interfaces) {
    LOGV << path;
    if (removed)
        removed(path, interfaces);
}

bool InterfaceEvent::HasObject(const std::string& path, const std::string& interface) {
    std::map<sdbus::ObjectPath, bluez::InterfaceMap> objects;
    getProxy()
        .callMethod("GetManagedObjects")
        .onInterface(bluez::kObjectManagerInterface)
        .storeResultsTo(objects);
    const auto it = objects.find(sdbus::ObjectPath(path));
    return it != objects.end() && it->second.count(interface) != 0;
}
