#include "timer_queue.h"

#include <cassert>
#include <exception>
#include <optional>

#include "log.h"

namespace timer {

TimerQueue::TimerQueue(TimeSource& time) : time_(time) {
    thread_ = std::thread(&TimerQueue::Run, this);
}

TimerQueue::~TimerQueue() {
    CancelAll();
    // Cancelled items are due at the epoch, so the finishing item runs after all of them.
    Add(std::chrono::seconds(0), [this](bool) { finish_ = true; });
    thread_.join();
}

uint64_t TimerQueue::AddAt(Clock::time_point due, Handler handler) {
    Item item{due, 0, std::move(handler)};
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = ++next_id_;
        item.id = id;
        items_.push(std::move(item));
    }
    wake_.Notify();
    return id;
}

uint64_t TimerQueue::Cancel(uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Item* found = nullptr;
        for (auto& item : items_.c) {
            if (item.id == id && item.handler) {
                found = &item;
                break;
            }
        }
        if (found == nullptr)
            return 0;
        // The old entry stays in the heap with an empty handler and is dropped at the top.
        Item aborted{Clock::time_point{}, 0, std::move(found->handler)};
        found->handler = nullptr;
        items_.push(std::move(aborted));
    }
    wake_.Notify();
    return 1;
}

void TimerQueue::CancelAll() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& item : items_.c) {
            if (item.id != 0) {
                item.due = Clock::time_point{};
                item.id = 0;
            }
        }
    }
    wake_.Notify();
}

void TimerQueue::Fire(Item& item, bool aborted) {
    if (!item.handler)
        return;
    // An exception leaving the worker thread would end the whole daemon.
    try {
        item.handler(aborted);
    } catch (const std::exception& e) {
        LOGE << "timer handler failed : " << e.what();
    } catch (...) {
        LOGE << "timer handler failed : unknown exception";
    }
}

void TimerQueue::Run() {
    while (!finish_) {
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (!items_.empty()) {
                if (!items_.top().handler) {
                    items_.pop();
                    continue;
                }
                deadline = items_.top().due;
                break;
            }
        }
        if (deadline) {
            time_.WaitUntil(wake_, *deadline);
        } else {
            wake_.Wait();
        }

        std::unique_lock<std::mutex> lock(mutex_);
        while (!finish_ && !items_.empty() && items_.top().due <= time_.Now()) {
            Item item = std::move(const_cast<Item&>(items_.top()));
            items_.pop();
            lock.unlock();
            Fire(item, item.id == 0);
            lock.lock();
        }
    }
    // A handler that was running when destruction began may have added an item after the
    // cancel-all: it is called as aborted too, so no handler is left uncalled.
    std::unique_lock<std::mutex> lock(mutex_);
    while (!items_.empty()) {
        Item item = std::move(const_cast<Item&>(items_.top()));
        items_.pop();
        lock.unlock();
        Fire(item, true);
        lock.lock();
    }
    assert(items_.size() == 0);
}

}  // namespace timer
