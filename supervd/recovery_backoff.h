#pragma once

#include <chrono>
#include <optional>

#include "time_source.h"

namespace supervd {

// How long a Bluetooth recovery waits before it runs. A stack that cannot come up (no
// controller) makes blehub report again at once: restarting it every few seconds only keeps a
// slow controller from attaching. So a recovery that follows the last one within the healthy
// spell waits `first`, then twice as long each time up to `max`; after a healthy spell the
// next one runs at once.
class RecoveryBackoff {
  public:
    struct Times {
        std::chrono::seconds first{10};
        std::chrono::seconds max{600};
        std::chrono::seconds healthy{300};  // since the last recovery ended, without a report
    };

    explicit RecoveryBackoff(Times times) : times_(times) {}

    // The wait of a recovery requested at `now`.
    timer::Clock::duration Next(timer::Clock::time_point now);
    // The last recovery ended at `at`.
    void Ended(timer::Clock::time_point at) { last_end_ = at; }

  private:
    Times times_;
    std::optional<timer::Clock::time_point> last_end_;
    timer::Clock::duration wait_{0};
};

}  // namespace supervd
