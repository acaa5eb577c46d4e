#pragma once

#include <functional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

// Tells when a well-known bus name loses its owner and when it gets one again (a daemon
// leaving the bus or starting), from the bus's NameOwnerChanged signal.
class OwnerWatch {
  public:
    // Called on the bus thread: false when the owner went, true when one came.
    using Handler = std::function<void(bool owned)>;

    OwnerWatch(sdbus::IConnection& connection, const std::string& name, Handler handler);

  private:
    void OnSignal(sdbus::Message& message);

    std::string name_;
    Handler handler_;
    sdbus::Slot slot_;  // last: unsubscribed before the rest goes
};
