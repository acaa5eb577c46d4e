#pragma once

#include <functional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez.h"

// A BlueZ object whose property changes of one interface go to a handler, one call per
// changed property in ascending name order. The handler is fixed at construction, before
// the first signal can arrive on the bus thread.
class PropertiesProxy : public sdbus::ProxyInterfaces<> {
  public:
    using Handler = std::function<void(const std::string& name, const sdbus::Variant& value)>;

    PropertiesProxy(sdbus::IConnection& connection, const std::string& path,
                    std::string interfaceName, Handler handler);
    ~PropertiesProxy();

    const std::string& Path() const { return getObjectPath(); }
    const std::string& Interface() const { return interface_; }

  protected:
    sdbus::IProxy& Proxy() { return getProxy(); }

    virtual void onPropertiesChanged(const std::string& interfaceName,
                                     const bluez::Properties& changed,
                                     const std::vector<std::string>& invalidated);

  private:
    void OnSignal(sdbus::Signal& signal);

    std::string interface_;
    Handler handler_;
};
