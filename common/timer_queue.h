#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "semaphore.h"
#include "time_source.h"

namespace timer {

// One-shot timers on a private worker thread. A handler runs once: with false when its
// delay has passed, with true (aborted) when it was cancelled or the queue is destroyed.
// An exception that leaves a handler is logged and goes no further.
class TimerQueue {
  public:
    using Handler = std::function<void(bool aborted)>;

    explicit TimerQueue(TimeSource& time = SteadyTime());
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;
    virtual ~TimerQueue();

    template <typename Rep, typename Period>
    uint64_t Add(std::chrono::duration<Rep, Period> delay, Handler handler) {
        return AddAt(time_.Now() + std::chrono::duration_cast<Clock::duration>(delay),
                     std::move(handler));
    }
    // Returns 1 when a pending timer was cancelled (its handler then runs with true), else 0.
    uint64_t Cancel(uint64_t id);
    void CancelAll();

  private:
    struct Item {
        Clock::time_point due;
        uint64_t id;
        Handler handler;
    };
    struct Later {
        bool operator()(const Item& a, const Item& b) const { return a.due > b.due; }
    };
    // Exposes the heap's storage so cancels can scan every item.
    struct Heap : std::priority_queue<Item, std::vector<Item>, Later> {
        using std::priority_queue<Item, std::vector<Item>, Later>::c;
    };

    uint64_t AddAt(Clock::time_point due, Handler handler);
    static void Fire(Item& item, bool aborted);
    void Run();

    TimeSource& time_;
    mutex::Semaphore wake_;
    std::thread thread_;
    bool finish_ = false;
    uint64_t next_id_ = 0;
    std::mutex mutex_;
    Heap items_;
};

}  // namespace timer
