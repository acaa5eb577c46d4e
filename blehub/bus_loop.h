#pragma once

#include <functional>
#include <string>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

// Runs a connection's D-Bus event loop on a thread of its own. When the bus goes away the
// loop ends with an error; sdbus-c++'s own loop thread lets it escape (the process aborts),
// here it goes to `lost` instead.
class BusLoop {
  public:
    using Lost = std::function<void(const std::string& error)>;

    BusLoop(sdbus::IConnection& connection, Lost lost);
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;
    ~BusLoop();

    void Start();
    // Leaves the loop and waits for its thread; no handler runs after it returns.
    void Stop();

  private:
    sdbus::IConnection& connection_;
    Lost lost_;
    std::thread thread_;
};
