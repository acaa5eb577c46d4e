#include "reconnect_scheduler.h"

#include <algorithm>

#include "log.h"

ReconnectScheduler::ReconnectScheduler(timer::TimerQueue& timers, Post post)
    : timers_(timers), post_(std::move(post)) {}

bool ReconnectScheduler::Schedule(const std::string& deviceId) {
    std::chrono::seconds delay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        State& state = devices_[deviceId];
        if (state.pending) {
            LOGV << deviceId << ": retry already pending";
            return false;
        }
        state.pending = true;
        delay = state.delay;
        state.delay = std::min(state.delay * 2, kMaxDelay);
    }
    LOGI << "Retry " << deviceId << " in " << delay.count() << " s";
    timers_.Add(delay, [this, deviceId](bool aborted) { Fire(deviceId, aborted); });
    return true;
}

void ReconnectScheduler::Reset(const std::string& deviceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(deviceId);
    if (it == devices_.end())
        return;
    if (it->second.pending) {
        it->second.delay = kFirstDelay;
    } else {
        devices_.erase(it);
    }
}

std::chrono::seconds ReconnectScheduler::NextDelay(const std::string& deviceId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(deviceId);
    return it == devices_.end() ? kFirstDelay : it->second.delay;
}

void ReconnectScheduler::Fire(const std::string& deviceId, bool aborted) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(deviceId);
        if (it != devices_.end())
            it->second.pending = false;
    }
    if (!aborted && post_)
        post_(deviceId);
}
