#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mutex {

// Counting semaphore; the timer queue's wake-up signal.
class Semaphore {
  public:
    virtual ~Semaphore() = default;

    void Notify();
    // Notify that leaves at most one unit pending: a wake-up signal that many producers may
    // raise without the waiter having to count them off.
    void Signal();
    void Wait();
    // Takes one unit if one arrives before the deadline; false on time-out.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    int32_t count_ = 0;
};

}  // namespace mutex
