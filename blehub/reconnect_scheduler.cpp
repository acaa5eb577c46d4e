#include "reconnect_scheduler.h"

#include <algorithm>

#include "log.h"

ReconnectScheduler::ReconnectScheduler(timer::TimerQueue& timers, Post post)
    : timers_(timers), shared_(std::make_shared<Shared>()) {
    shared_->post = std::move(post);
}

bool ReconnectScheduler::Schedule(const std::string& deviceId) {
    std::chrono::seconds delay;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        State& state = shared_->devices[deviceId];
        if (state.pending) {
            LOGV << deviceId << ": retry already pending";
            return false;
        }
        state.pending = true;
        delay = state.delay;
        state.delay = std::min(state.delay * 2, kMaxDelay);
    }
    LOGI << "Retry " << deviceId << " in " << delay.count() << " s";
    timers_.Add(delay,
                [shared = shared_, deviceId](bool aborted) { Fire(shared, deviceId, aborted); });
    return true;
}

void ReconnectScheduler::Reset(const std::string& deviceId) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto it = shared_->devices.find(deviceId);
    if (it == shared_->devices.end())
        return;
    if (it->second.pending) {
        it->second.delay = kFirstDelay;
    } else {
        shared_->devices.erase(it);
    }
}

std::chrono::seconds ReconnectScheduler::NextDelay(const std::string& deviceId) const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto it = shared_->devices.find(deviceId);
    return it == shared_->devices.end() ? kFirstDelay : it->second.delay;
}

void ReconnectScheduler::Fire(const std::shared_ptr<Shared>& shared, const std::string& deviceId,
                              bool aborted) {
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        auto it = shared->devices.find(deviceId);
        if (it != shared->devices.end())
            it->second.pending = false;
    }
    if (!aborted && shared->post)
        shared->post(deviceId);
}
