#include "heartbeat_manager.h"

#include <condition_variable>

#include "log.h"

HeartbeatTimer::HeartbeatTimer(int code, std::chrono::seconds timeout, timer::TimeSource& time,
                               Expired expired)
    : code_(code), timeout_(timeout), expired_(std::move(expired)), timers_(time) {}

HeartbeatTimer::~HeartbeatTimer() {
    if (id_ != 0)
        timers_.Cancel(id_);
}

void HeartbeatTimer::UpdateTimer() {
    LOGV << code_;
    timers_.Cancel(id_);  // finds nothing when the last one has fired
    id_ = timers_.Add(timeout_, [this](bool aborted) {
        if (aborted)
            return;  // a heartbeat came in time, or the timer is going
        LOGV << "expired " << code_;
        expired_(code_);
    });
}

void HeartbeatTimer::Settle() {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    timers_.Add(std::chrono::seconds(0), [&](bool) {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

HeartbeatManager::HeartbeatManager(queue::ThreadSafeQueue<mailbox::Message>& owner,
                                   std::chrono::seconds timeout, timer::TimeSource& time)
    : owner_(owner), timeout_(timeout), time_(time) {}

HeartbeatManager::~HeartbeatManager() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!timers_.empty())
        timers_.erase(timers_.begin());
}

HeartbeatTimer* HeartbeatManager::Find(int code) {
    for (auto& t : timers_) {
        if (t->Code() == code)
            return t.get();
    }
    return nullptr;
}

void HeartbeatManager::NewHeartbeatTimer(const int& code) {
    auto timer = std::make_unique<HeartbeatTimer>(code, timeout_, time_, [this](int& expired) {
        owner_.Push(mailbox::Make<int>(mailbox::kHeartbeatExpire, expired));
    });
    timer->UpdateTimer();
    timers_.push_back(std::move(timer));
}

void HeartbeatManager::UpdateHeartbeat(const int& code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (HeartbeatTimer* timer = Find(code)) {
        timer->UpdateTimer();
    } else if (timers_.size() >= kMaxTimers) {
        LOGE << "Heartbeat of " << code << " ignored : " << kMaxTimers
             << " processes are watched already";
    } else {
        NewHeartbeatTimer(code);
    }
}

void HeartbeatManager::CloseHeartbeat(const int& code) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if ((*it)->Code() == code) {
            LOGV << "Delete Heatbeat Timer : " << code;
            timers_.erase(it);  // joins its timer thread, never this one's
            break;
        }
    }
    LOGV << "Num of Timer : " << timers_.size();
}

bool HeartbeatManager::FindHeartbeat(const int& code) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Find(code) != nullptr;
}

std::size_t HeartbeatManager::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.size();
}

void HeartbeatManager::Settle() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& t : timers_)
        t->Settle();
}
