#pragma once

#include <functional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez.h"

// BlueZ's object manager on "/": objects that appear (devices found by discovery, their
// services and characteristics) go to the handler; removals are only traced.
class InterfaceEvent : public sdbus::ProxyInterfaces<> {
  public:
    using Handler =
        std::function<void(const sdbus::ObjectPath& path, const bluez::InterfaceMap& interfaces)>;

    InterfaceEvent(sdbus::IConnection& connection, Handler handler);
    virtual ~InterfaceEvent();

  protected:
    virtual void onInterfacesAdded(const sdbus::ObjectPath& path,
                                   const bluez::InterfaceMap& interfaces);
    virtual void onInterfacesRemoved(const sdbus::ObjectPath& path,
                                     const std::vector<std::string>& interfaces);

  private:
    Handler handler;
};
