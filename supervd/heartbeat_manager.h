#pragma once

#include <atomic>
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

    // Cancels the pending time-out and starts a new one; `pid` is the sender's (0: unknown).
    void UpdateTimer(int64_t pid = 0);
    int Code() const { return code_; }
    int64_t Pid() const { return pid_; }
    // The time-out passed since the last heartbeat.
    bool Fired() const { return fired_.load(); }
    // Returns once the timer thread has run everything that is due now.
    void Settle();

  private:
    uint64_t id_ = 0;
    int code_;
    int64_t pid_ = 0;
    std::atomic<bool> fired_{false};
    std::chrono::seconds timeout_;
    Expired expired_;
    timer::TimerQueue timers_;  // last: its thread stops before the members above go
};

// One time-out per process code that sent a heartbeat; an expiry posts message 3001 with
// the code into the supervisor's queue. Only the six process codes are watched: each watch
// costs a thread, and a made-up code has nothing to restart, so its heartbeats are counted and
// dropped (one line a minute), and can never take a watch from a daemon.
class HeartbeatManager {
  public:
    static constexpr int kFirstCode = 1000;  // blehub
    static constexpr int kLastCode = 1005;   // reserved
    static constexpr std::chrono::seconds kIgnoredLogPeriod{60};

    HeartbeatManager(queue::ThreadSafeQueue<mailbox::Message>& owner, std::chrono::seconds timeout,
                     timer::TimeSource& time = timer::SteadyTime());
    HeartbeatManager(const HeartbeatManager&) = delete;
    HeartbeatManager& operator=(const HeartbeatManager&) = delete;
    virtual ~HeartbeatManager();

    // Re-arms the code's timer, creating it on the code's first heartbeat. True when the
    // heartbeat is the first of a new process: the code was not watched (never, or closed),
    // its time-out had passed, or `pid` (0: not sent) differs from the last one. Look-up and
    // re-arm hold the lock, so a timer is never re-armed while another thread closes it.
    bool UpdateHeartbeat(const int& code, int64_t pid = 0);
    // Drops the code's timer: no expiry follows until its next heartbeat makes a new one.
    void CloseHeartbeat(const int& code);
    bool FindHeartbeat(const int& code);
    std::size_t Count();
    // Heartbeats of codes that are not watched, dropped so far.
    std::size_t Ignored();
    // Returns once every timer thread has run what is due now (a stepped clock's tests).
    void Settle();

  private:
    // Caller holds mutex_.
    HeartbeatTimer* Find(int code);
    void NewHeartbeatTimer(const int& code, int64_t pid);

    queue::ThreadSafeQueue<mailbox::Message>& owner_;
    std::chrono::seconds timeout_;
    timer::TimeSource& time_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<HeartbeatTimer>> timers_;
    std::size_t ignored_ = 0;
    std::size_t ignored_logged_ = 0;
    timer::Clock::time_point next_ignored_log_{};
};
