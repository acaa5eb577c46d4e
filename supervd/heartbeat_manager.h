#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "mailbox.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "timer_queue.h"

// The time-out of one watched process, on a timer thread of its own. A time-out that passes
// calls the expiry callback once; it is not armed again until the next heartbeat.
class HeartbeatTimer {
  public:
    using Expired = std::function<void(int& code)>;

    HeartbeatTimer(int code, std::chrono::seconds timeout, timer::TimeSource& time,
                   Expired expired);
    HeartbeatTimer(const HeartbeatTimer&) = delete;
    HeartbeatTimer& operator=(const HeartbeatTimer&) = delete;
    virtual ~HeartbeatTimer();

    // Cancels the pending time-out and starts a new one.
    void UpdateTimer();
    int Code() const { return code_; }
    // Returns once the timer thread has run everything that is due now.
    void Settle();

  private:
    uint64_t id_ = 0;
    int code_;
    std::chrono::seconds timeout_;
    Expired expired_;
    timer::TimerQueue timers_;  // last: its thread stops before the members above go
};

// One time-out per process code that sent a heartbeat; an expiry posts message 3001 with
// the code into the supervisor's queue.
class HeartbeatManager {
  public:
    // Each code costs a thread: heartbeats of made-up codes must not use up the process.
    static constexpr std::size_t kMaxTimers = 32;

    HeartbeatManager(queue::ThreadSafeQueue<mailbox::Message>& owner, std::chrono::seconds timeout,
                     timer::TimeSource& time = timer::SteadyTime());
    HeartbeatManager(const HeartbeatManager&) = delete;
    HeartbeatManager& operator=(const HeartbeatManager&) = delete;
    virtual ~HeartbeatManager();

    // Re-arms the code's timer, creating it on the code's first heartbeat (unless kMaxTimers
    // codes are watched). Look-up and re-arm hold the lock, so a timer is never re-armed while
    // another thread closes it.
    void UpdateHeartbeat(const int& code);
    // Drops the code's timer: no expiry follows until its next heartbeat makes a new one.
    void CloseHeartbeat(const int& code);
    bool FindHeartbeat(const int& code);
    std::size_t Count();
    // Returns once every timer thread has run what is due now (a stepped clock's tests).
    void Settle();

  private:
    // Caller holds mutex_.
    HeartbeatTimer* Find(int code);
    void NewHeartbeatTimer(const int& code);

    queue::ThreadSafeQueue<mailbox::Message>& owner_;
    std::chrono::seconds timeout_;
    timer::TimeSource& time_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<HeartbeatTimer>> timers_;
};
