#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "mailbox.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "ubus.h"

namespace mailbox {

// A daemon's main loop: each pass handles every message queued when it starts, in order, on
// the calling thread; between passes it waits for the next push, at most one period, so the
// running flag is still looked at every period. Events sent from the loop share one bus
// connection (Events()), so they leave in order.
class MainLoop {
  public:
    using Handler = std::function<void(Message&)>;
    static constexpr std::chrono::seconds kDropReportPeriod{60};

    MainLoop(queue::ThreadSafeQueue<Message>& queue, std::chrono::milliseconds period,
             timer::TimeSource& time = timer::SteadyTime());

    // Passes until `running` is false; a stop during a pass ends it after the current message.
    void Run(const std::atomic<bool>& running, const Handler& handle);
    // One pass; returns the number of messages handled.
    std::size_t Pass(const std::atomic<bool>& running, const Handler& handle);
    // Waits for a push, at most one period.
    void Wait();

    // Runs after every pass of Run: the place to refresh a status snapshot.
    void AfterPass(std::function<void()> fn) { after_pass_ = std::move(fn); }

    ubus::EventSender& Events() { return events_; }
    std::chrono::milliseconds Period() const { return period_; }
    // Readings dropped at the queue's limit so far.
    uint64_t Dropped() const { return dropped_total_; }

  private:
    void ReportDropped();

    queue::ThreadSafeQueue<Message>& queue_;
    std::chrono::milliseconds period_;
    timer::TimeSource& time_;
    ubus::EventSender events_;
    std::function<void()> after_pass_;
    uint64_t dropped_total_ = 0;
    uint64_t dropped_unreported_ = 0;
    bool reported_ = false;
    timer::Clock::time_point last_report_{};
};

}  // namespace mailbox
