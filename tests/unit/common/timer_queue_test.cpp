#include "timer_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

// Records every handler call as (tag, aborted).
struct Calls {
    std::mutex mutex;
    std::vector<std::pair<int, bool>> calls;

    timer::TimerQueue::Handler Make(int tag) {
        return [this, tag](bool aborted) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.emplace_back(tag, aborted);
        };
    }
    std::vector<std::pair<int, bool>> Get() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::size_t Count() { return Get().size(); }
};

TEST(TimerQueue, IdsStartAtOneAndCount) {
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    EXPECT_EQ(timers.Add(10s, nullptr), 1u);
    EXPECT_EQ(timers.Add(10s, nullptr), 2u);
}

TEST(TimerQueue, ZeroDelayFiresNotAborted) {
    Calls calls;
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    timers.Add(0s, calls.Make(1));
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 1; }));
    EXPECT_EQ(calls.Get()[0], std::make_pair(1, false));
}

TEST(TimerQueue, CancelRunsHandlerOnceAborted) {
    Calls calls;
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    uint64_t id = timers.Add(60s, calls.Make(1));
    EXPECT_EQ(timers.Cancel(id), 1u);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 1; }));
    EXPECT_EQ(calls.Get()[0], std::make_pair(1, true));
    EXPECT_EQ(timers.Cancel(id), 0u);
    time.Advance(120s);
    // Nothing else may run: a zero-delay marker fires after anything that was due.
    timers.Add(0s, calls.Make(2));
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 2; }));
    EXPECT_EQ(calls.Get()[1], std::make_pair(2, false));
}

TEST(TimerQueue, CancelOfFiredOrUnknownIdReturnsZero) {
    Calls calls;
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    uint64_t id = timers.Add(1s, calls.Make(1));
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 1; }));
    EXPECT_EQ(calls.Get()[0], std::make_pair(1, false));
    EXPECT_EQ(timers.Cancel(id), 0u);
    EXPECT_EQ(timers.Cancel(999), 0u);
    EXPECT_EQ(timers.Cancel(0), 0u);
}

TEST(TimerQueue, FiresInDueOrderWhenSteppedPastSeveral) {
    Calls calls;
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    timers.Add(3s, calls.Make(3));
    timers.Add(1s, calls.Make(1));
    timers.Add(2s, calls.Make(2));
    time.Advance(2s);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 2; }));
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 3; }));
    auto got = calls.Get();
    EXPECT_EQ(got[0].first, 1);
    EXPECT_EQ(got[1].first, 2);
    EXPECT_EQ(got[2].first, 3);
}

TEST(TimerQueue, EarlierItemAddedWhileWaitingFiresFirstSteppedClock) {
    Calls calls;
    timer::ManualTime time;
    timer::TimerQueue timers(time);
    timers.Add(120s, calls.Make(120));
    timers.Add(1s, calls.Make(1));
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 1; }));
    EXPECT_EQ(calls.Get()[0], std::make_pair(1, false));
    time.Advance(118s);
    timers.Add(0s, calls.Make(0));
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 2; }));
    EXPECT_EQ(calls.Get()[1].first, 0) << "the 120 s item fired early";
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return calls.Count() == 3; }));
    EXPECT_EQ(calls.Get()[2], std::make_pair(120, false));
}

// The real clock: a worker asleep on a 120 s deadline must notice a 1 s item.
TEST(TimerQueue, EarlierItemAddedWhileWaitingFiresAfterAboutOneSecond) {
    std::atomic<bool> fired{false};
    timer::TimerQueue timers;
    timers.Add(120s, nullptr);
    timers.Add(10ms, [](bool) {});  // let the worker settle on the 120 s deadline
    const auto start = std::chrono::steady_clock::now();
    std::atomic<long long> elapsedMs{0};
    timers.Add(1s, [&](bool aborted) {
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
        fired = !aborted;
    });
    ASSERT_TRUE(WaitFor([&] { return fired.load(); }, 5s));
    EXPECT_GE(elapsedMs.load(), 1000);
    EXPECT_LT(elapsedMs.load(), 2000);
}

TEST(TimerQueue, DestructionRunsEveryPendingHandlerOnceAborted) {
    Calls calls;
    {
        timer::ManualTime time;
        timer::TimerQueue timers(time);
        timers.Add(10s, calls.Make(1));
        timers.Add(20s, calls.Make(2));
        uint64_t id = timers.Add(30s, calls.Make(3));
        timers.Cancel(id);
    }
    auto got = calls.Get();
    ASSERT_EQ(got.size(), 3u);
    for (auto& call : got)
        EXPECT_TRUE(call.second) << "handler " << call.first;
}

TEST(TimerQueue, HandlerReAddsItself) {
    timer::ManualTime time;
    std::atomic<int> runs{0};
    std::atomic<int> aborted{0};
    {
        // Declared before the queue so it outlives the worker that copies it.
        std::function<void(bool)> beat;
        timer::TimerQueue timers(time);
        beat = [&](bool a) {
            if (a) {
                ++aborted;
                return;
            }
            timers.Add(5s, beat);
            ++runs;  // after the re-add, so the test's next step cannot come before it
        };
        timers.Add(5s, beat);
        for (int i = 1; i <= 3; ++i) {
            time.Advance(5s);
            ASSERT_TRUE(WaitFor([&] { return runs.load() == i; })) << "pass " << i;
        }
    }
    EXPECT_EQ(runs.load(), 3);
    EXPECT_EQ(aborted.load(), 1);
}

TEST(TimerQueue, HandlersThatThrowAreLoggedAndTheQueueGoesOn) {
    LogCapture::Init("timer_queue_test.log");
    LogCapture log;
    Calls calls;
    {
        timer::ManualTime time;
        timer::TimerQueue timers(time);
        timers.Add(0s, [](bool) { throw std::runtime_error("no clock"); });
        timers.Add(0s, [](bool) { throw 42; });
        timers.Add(1s, calls.Make(1));
        time.Advance(1s);
        ASSERT_TRUE(WaitFor([&] { return calls.Count() == 1; }));
        // Cancelled ones as well, also while the queue is destroyed.
        timers.Cancel(timers.Add(60s, [](bool) { throw std::runtime_error("cancelled"); }));
        timers.Add(60s, [](bool) { throw std::runtime_error("at the end"); });
    }
    EXPECT_EQ(calls.Get()[0], std::make_pair(1, false));
    EXPECT_TRUE(log.Contains("timer handler failed : no clock\n"));
    EXPECT_TRUE(log.Contains("timer handler failed : unknown exception\n"));
    EXPECT_TRUE(log.Contains("timer handler failed : cancelled\n"));
    EXPECT_TRUE(log.Contains("timer handler failed : at the end\n"));
}

// Counts the clock readings taken on one thread (the destructor's finishing item takes one).
class WatchedTime : public timer::ManualTime {
  public:
    timer::Clock::time_point Now() override {
        if (watched_.load() == std::this_thread::get_id())
            ++readings_;
        return ManualTime::Now();
    }
    void Watch() { watched_ = std::this_thread::get_id(); }
    int Readings() const { return readings_.load(); }

  private:
    std::atomic<std::thread::id> watched_{};
    std::atomic<int> readings_{0};
};

TEST(TimerQueue, ItemAddedByARunningHandlerDuringDestructionRunsAborted) {
    WatchedTime time;
    Calls calls;
    std::atomic<bool> running{false};
    auto timers = std::make_unique<timer::TimerQueue>(time);
    timer::TimerQueue* queue = timers.get();
    // A periodic job that re-arms itself after its work, as the heartbeat does.
    timers->Add(1s, [&, queue](bool) {
        running = true;
        WaitFor([&] { return time.Readings() > 0; });  // the destructor has cancelled all
        queue->Add(60s, calls.Make(2));
    });
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return running.load(); }));
    std::thread destroyer([&] {
        time.Watch();
        timers.reset();
    });
    destroyer.join();
    EXPECT_EQ(calls.Get(), (std::vector<std::pair<int, bool>>{{2, true}}));
}

TEST(TimerQueue, ConcurrentAddAndCancelFromManyThreads) {
    std::atomic<int> fired{0};
    std::atomic<int> cancelled{0};
    {
        timer::TimerQueue timers;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    uint64_t id = timers.Add(std::chrono::milliseconds(i % 3),
                                             [&](bool a) { (a ? cancelled : fired)++; });
                    if (i % 2 == 0)
                        timers.Cancel(id);
                }
            });
        }
        for (auto& t : threads)
            t.join();
    }
    EXPECT_EQ(fired.load() + cancelled.load(), 800);
    EXPECT_GE(cancelled.load(), 1);
}

}  // namespace
