#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "semaphore.h"

namespace timer {

using Clock = std::chrono::steady_clock;

// Where a timer queue reads the time and waits; tests step a manual one.
class TimeSource {
  public:
    virtual ~TimeSource() = default;
    virtual Clock::time_point Now() = 0;
    // Waits for a unit on `wake` until `deadline`; true when a unit was taken.
    virtual bool WaitUntil(mutex::Semaphore& wake, Clock::time_point deadline) = 0;
};

// The monotonic clock of the process.
TimeSource& SteadyTime();

// UNIX time in whole seconds, 64 bits whatever the width of time_t; -1 when the clock cannot
// be read (a 32-bit time_t past January 2038). Code that needs the date takes one, so that
// tests can set it.
using UnixClock = std::function<int64_t()>;
int64_t SystemUnixTime();

// A clock that moves only when told; waiters are woken on every step.
class ManualTime : public TimeSource {
  public:
    Clock::time_point Now() override;
    bool WaitUntil(mutex::Semaphore& wake, Clock::time_point deadline) override;
    void Advance(Clock::duration step);

  private:
    std::mutex mutex_;
    Clock::time_point now_{std::chrono::hours(1)};
    std::multiset<mutex::Semaphore*> waiters_;
};

}  // namespace timer
