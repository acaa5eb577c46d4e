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

void HeartbeatTimer::UpdateTimer(int64_t pid) {
    LOGV << code_;
    timers_.Cancel(id_);  // finds nothing when the last one has fired
    fired_.store(false);
    pid_ = pid;
    id_ = timers_.Add(timeout_, [this](bool aborted) {
        if (aborted)
            return;  // a heartbeat came in time, or the timer is going
        LOGV << "expired " << code_;
        fired_.store(true);
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

void HeartbeatManager::NewHeartbeatTimer(const int& code, int64_t pid) {
    auto timer = std::make_unique<HeartbeatTimer>(code, timeout_, time_, [this](int& expired) {
        owner_.Push(mailbox::Make<int>(mailbox::kHeartbeatExpire, expired));
    });
    timer->UpdateTimer(pid);
    timers_.push_back(std::move(timer));
}

bool HeartbeatManager::UpdateHeartbeat(const int& code, int64_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code < kFirstCode || code > kLastCode) {
        ++ignored_;
        const auto now = time_.Now();
        if (now >= next_ignored_log_) {
            LOGW << "Heartbeat of unknown process " << code << " ignored ("
                 << ignored_ - ignored_logged_ << " since the last line, " << ignored_
                 << " in all)";
            ignored_logged_ = ignored_;
            next_ignored_log_ = now + kIgnoredLogPeriod;
        }
        return false;
    }
    HeartbeatTimer* timer = Find(code);
    if (timer == nullptr) {
        NewHeartbeatTimer(code, pid);
        return true;
    }
    const bool fresh = timer->Fired() || (pid != 0 && timer->Pid() != 0 && pid != timer->Pid());
    timer->UpdateTimer(pid);
    return fresh;
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

std::size_t HeartbeatManager::Ignored() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ignored_;
}

void HeartbeatManager::Settle() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& t : timers_)
        t->Settle();
}
