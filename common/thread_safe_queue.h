#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace queue {

// Unbounded FIFO handed from any thread to one consumer; takes never block.
template <typename T>
class ThreadSafeQueue {
  public:
    virtual ~ThreadSafeQueue() = default;

    void Push(const T& item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(item);
            size_.store(queue_.size(), std::memory_order_release);
        }
        cond_.notify_one();
    }

    void Push(T&& item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(item));
            size_.store(queue_.size(), std::memory_order_release);
        }
        cond_.notify_one();
    }

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

  private:
    std::deque<T> queue_;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::atomic<std::size_t> size_{0};
};

}  // namespace queue
