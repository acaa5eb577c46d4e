#include "main_loop.h"

#include "log.h"

namespace mailbox {

MainLoop::MainLoop(queue::ThreadSafeQueue<Message>& queue, std::chrono::milliseconds period,
                   timer::TimeSource& time)
    : queue_(queue), period_(period), time_(time) {}

void MainLoop::Run(const std::atomic<bool>& running, const Handler& handle) {
    while (running.load()) {
        Pass(running, handle);
        if (after_pass_)
            after_pass_();
        if (running.load())
            Wait();
    }
}

std::size_t MainLoop::Pass(const std::atomic<bool>& running, const Handler& handle) {
    // Only what is queued now: a producer that keeps pushing cannot keep the pass going.
    const std::size_t queued = queue_.Size();
    std::size_t handled = 0;
    Message message;
    while (handled < queued && running.load() && queue_.TryPop(message)) {
        ++handled;
        handle(message);
        message = Message();  // the payload goes now, not with the next message
    }
    ReportDropped();
    return handled;
}

void MainLoop::Wait() {
    if (!queue_.Empty())
        return;
    time_.WaitUntil(queue_.Wake(), time_.Now() + period_);
}

void MainLoop::ReportDropped() {
    if (const std::size_t dropped = queue_.TakeDropped()) {
        dropped_total_ += dropped;
        dropped_unreported_ += dropped;
    }
    if (dropped_unreported_ == 0)
        return;
    const auto now = time_.Now();
    if (reported_ && now - last_report_ < kDropReportPeriod)
        return;
    LOGW << "Queue full : " << dropped_unreported_ << " readings dropped";
    dropped_unreported_ = 0;
    reported_ = true;
    last_report_ = now;
}

}  // namespace mailbox
