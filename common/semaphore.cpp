#include "semaphore.h"

namespace mutex {

void Semaphore::Notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cond_.notify_one();
}

void Semaphore::Signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) {
        count_ = 1;
        cond_.notify_one();
    }
}

void Semaphore::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

bool Semaphore::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_until(lock, deadline, [this] { return count_ > 0; }))
        return false;
    --count_;
    return true;
}

}  // namespace mutex
