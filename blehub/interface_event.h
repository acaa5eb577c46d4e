#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez.h"

// BlueZ's object manager on "/": objects that appear (the adapter, devices found by
// discovery, their services and characteristics) and objects that go.
class InterfaceEvent : public sdbus::ProxyInterfaces<> {
  public:
    using Handler =
        std::function<void(const sdbus::ObjectPath& path, const bluez::InterfaceMap& interfaces)>;
    using RemovedHandler = std::function<void(const sdbus::ObjectPath& path,
                                              const std::vector<std::string>& interfaces)>;

    InterfaceEvent(sdbus::IConnection& connection, Handler handler,
                   RemovedHandler removed = nullptr);
    virtual ~InterfaceEvent();

    // Whether BlueZ serves `interface` on `path` right now; throws sdbus::Error when BlueZ
    // does not answer (e.g. ServiceUnknown when it is not on the bus).
    bool HasObject(const std::string& path, const std::string& interface);

  protected:
    virtual void onInterfacesAdded(const sdbus::ObjectPath& path,
                                   const bluez::InterfaceMap& interfaces);
    virtual void onInterfacesRemoved(const sdbus::ObjectPath& path,
                                     const std::vector<std::string>& interfaces);

  private:
    Handler handler;
    RemovedHandler removed;
};
