#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "timer_queue.h"

// Retries of a direct connection, one timer per device: the delay starts at 1 s and doubles
// up to 60 s while the device keeps failing, and starts again at 1 s once it connects.
class ReconnectScheduler {
  public:
    using Post = std::function<void(const std::string& deviceId)>;

    static constexpr std::chrono::seconds kFirstDelay{1};
    static constexpr std::chrono::seconds kMaxDelay{60};

    // `post` runs on the timers' thread when a retry is due.
    ReconnectScheduler(timer::TimerQueue& timers, Post post);

    // Arms the device's next retry; false when one is already pending.
    bool Schedule(const std::string& deviceId);
    // The device connected: its next failure waits the first delay again.
    void Reset(const std::string& deviceId);
    // The delay the next Schedule would use.
    std::chrono::seconds NextDelay(const std::string& deviceId) const;

  private:
    struct State {
        std::chrono::seconds delay{kFirstDelay};
        bool pending = false;
    };
    // Shared with the pending timers, which may run (aborted) after the scheduler is gone.
    struct Shared {
        Post post;
        std::mutex mutex;
        std::map<std::string, State> devices;
    };

    static void Fire(const std::shared_ptr<Shared>& shared, const std::string& deviceId,
                     bool aborted);

    timer::TimerQueue& timers_;
    std::shared_ptr<Shared> shared_;
};
