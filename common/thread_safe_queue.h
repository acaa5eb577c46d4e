#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "semaphore.h"

namespace queue {

// FIFO handed from any thread to one consumer; takes never block. The queue is bounded for
// the items a predicate marks as droppable (readings): when one more would pass the limit,
// the oldest droppable item goes and is counted. Other items are never dropped, so they may
// take the queue past its limit.
template <typename T>
class ThreadSafeQueue {
  public:
    static constexpr std::size_t kDefaultLimit = 10000;
    using Droppable = std::function<bool(const T&)>;

    virtual ~ThreadSafeQueue() = default;

    // Set before the producers start. A limit of 0 means kDefaultLimit.
    void SetLimit(std::size_t limit, Droppable droppable) {
        std::lock_guard<std::mutex> lock(mutex_);
        limit_ = limit == 0 ? kDefaultLimit : limit;
        droppable_ = std::move(droppable);
    }

    void Push(const T& item) { Add(T(item)); }
    void Push(T&& item) { Add(std::move(item)); }

    bool Empty() const { return size_.load(std::memory_order_acquire) == 0; }

    std::size_t Size() const { return size_.load(std::memory_order_acquire); }

    // Takes the front item if there is one; false (item untouched) when empty.
    bool TryPop(T& item) {
        if (Empty())
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty())
            return false;
        item = std::move(queue_.front());
        queue_.pop_front();
        size_.store(queue_.size(), std::memory_order_release);
        return true;
    }

    // Signalled by every push; the consumer waits on it between passes.
    mutex::Semaphore& Wake() { return wake_; }

    // Items dropped at the limit since the last call.
    std::size_t TakeDropped() { return dropped_.exchange(0, std::memory_order_relaxed); }

  private:
    void Add(T&& item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (droppable_ && queue_.size() >= limit_ && droppable_(item)) {
                auto oldest = queue_.begin();
                while (oldest != queue_.end() && !droppable_(*oldest))
                    ++oldest;
                dropped_.fetch_add(1, std::memory_order_relaxed);
                if (oldest == queue_.end())
                    return;  // the new item is the oldest droppable one
                queue_.erase(oldest);
            }
            queue_.push_back(std::move(item));
            size_.store(queue_.size(), std::memory_order_release);
        }
        wake_.Signal();
    }

    std::deque<T> queue_;
    mutable std::mutex mutex_;
    std::atomic<std::size_t> size_{0};
    std::size_t limit_ = kDefaultLimit;
    Droppable droppable_;
    std::atomic<std::size_t> dropped_{0};
    mutex::Semaphore wake_;
};

}  // namespace queue
