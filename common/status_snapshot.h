#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "time_source.h"
#include "ubus.h"

// What a daemon's status object answers. The main loop replaces the answers (Set) whenever it
// has something new, at most about once a second (Due); the bus loop only copies a pointer
// out under a short lock, so a status call never waits for the daemon's work.
namespace status {

class Snapshot {
  public:
    static constexpr std::chrono::seconds kRefresh{1};

    Snapshot(std::string version, timer::TimeSource& time = timer::SteadyTime());

    // Main loop: true once kRefresh has passed since the last time it said so.
    bool Due();
    // Main loop: the method's next answer (a JSON object).
    void Set(const std::string& method, const nlohmann::json& body);

    // Bus loop: the method's answer as JSON text ("{}" before the first Set). "status" starts
    // with "version" and "uptime" (whole seconds since this object was made).
    std::string Answer(const std::string& method) const;
    // Serves `object` with `methods` (each answering from Set) on the listener.
    bool Serve(ubus::Listener& listener, const char* object,
               const std::vector<std::string>& methods);

  private:
    const std::string version_;
    timer::TimeSource& time_;
    const timer::Clock::time_point start_;
    timer::Clock::time_point due_;
    mutable std::mutex mutex_;  // answers_
    std::map<std::string, std::shared_ptr<const std::string>> answers_;
};

// The package's installed version as opkg tells it, "unknown" when it cannot.
std::string PackageVersion(const std::string& package);
// Seconds since the Unix epoch now.
int64_t UnixNow();

// Seconds since the Unix epoch of a system-clock time, or null before anything happened.
nlohmann::json UnixTime(std::chrono::system_clock::time_point when);

}  // namespace status
