#include "time_source.h"

#include <ctime>

namespace timer {

namespace {
class Steady : public TimeSource {
  public:
    Clock::time_point Now() override { return Clock::now(); }
    bool WaitUntil(mutex::Semaphore& wake, Clock::time_point deadline) override {
        return wake.WaitUntil(deadline);
    }
};
}  // namespace

TimeSource& SteadyTime() {
    static Steady steady;
    return steady;
}

int64_t SystemUnixTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

Clock::time_point ManualTime::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

bool ManualTime::WaitUntil(mutex::Semaphore& wake, Clock::time_point deadline) {
    std::multiset<mutex::Semaphore*>::iterator it;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (now_ >= deadline)
            return false;
        it = waiters_.insert(&wake);
    }
    wake.Wait();
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(it);
    return true;
}

void ManualTime::Advance(Clock::duration step) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += step;
    for (auto* w : waiters_)
        w->Notify();
}

}  // namespace timer
