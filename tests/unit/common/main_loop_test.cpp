#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "mailbox.h"
#include "main_loop.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

constexpr int32_t kReading = 3007;

using Queue = queue::ThreadSafeQueue<mailbox::Message>;

bool IsReading(const mailbox::Message& m) {
    return m.code == kReading;
}

class MainLoopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("main_loop_test.log"); }

    Queue queue;
    timer::ManualTime clock;  // never moves unless a test steps it
    mailbox::MainLoop loop{queue, 100ms, clock};
    std::atomic<bool> running{true};
};

TEST_F(MainLoopTest, OnePassHandlesTheWholeBurstInOrderButNotWhatItAdds) {
    for (int i = 0; i < 500; ++i)
        queue.Push(mailbox::Make<int>(kReading, i));
    std::vector<int> seen;
    const auto handled = loop.Pass(running, [&](mailbox::Message& m) {
        seen.push_back(*m.As<int>());
        if (seen.size() == 1)
            queue.Push(mailbox::Make<int>(kReading, 1000));  // arrives during the pass
    });
    EXPECT_EQ(handled, 500u);
    ASSERT_EQ(seen.size(), 500u);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_EQ(queue.Size(), 1u) << "a message pushed during a pass waits for the next one";
}

TEST_F(MainLoopTest, APushDuringTheWaitWakesTheLoopWithoutTheClockMoving) {
    std::atomic<int> handled{0};
    std::thread worker([&] { loop.Run(running, [&](mailbox::Message&) { ++handled; }); });
    // The clock stands still, so only the push can end the wait.
    for (int i = 1; i <= 3; ++i) {
        queue.Push(mailbox::Message(3006));
        EXPECT_TRUE(WaitFor([&] { return handled.load() == i; })) << "push " << i;
    }
    running = false;
    queue.Push(mailbox::Message(3005));  // a push is never lost, whenever the loop waits
    worker.join();
    EXPECT_EQ(handled.load(), 3) << "stopped: the last push stays queued";
}

TEST_F(MainLoopTest, StopEndsAfterTheCurrentMessageAndTheWaitAfterOnePeriod) {
    for (int i = 0; i < 100; ++i)
        queue.Push(mailbox::Make<int>(kReading, i));
    int handled = 0;
    loop.Run(running, [&](mailbox::Message&) {
        if (++handled == 10)
            running = false;  // as the signal handler does
    });
    EXPECT_EQ(handled, 10);
    EXPECT_EQ(queue.Size(), 90u);

    // A stop while the loop waits, with nothing pushed, is seen within one period.
    Queue empty;
    mailbox::MainLoop idle(empty, 50ms);
    std::atomic<bool> on{true};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        idle.Run(on, [](mailbox::Message&) {});
        done = true;
    });
    on = false;
    EXPECT_TRUE(WaitFor([&] { return done.load(); }, 1s));
    worker.join();
}

TEST_F(MainLoopTest, TheBoundDropsTheOldestReadingsOnlyAndCountsThem) {
    LogCapture log;
    queue.SetLimit(4, IsReading);
    queue.Push(mailbox::Make<int>(kReading, 0));
    queue.Push(mailbox::Message(3005));  // never dropped
    for (int i = 1; i <= 5; ++i)
        queue.Push(mailbox::Make<int>(kReading, i));
    queue.Push(mailbox::Message(3006));  // past the limit, kept all the same

    std::vector<std::pair<int32_t, int>> seen;
    loop.Pass(running,
              [&](mailbox::Message& m) { seen.emplace_back(m.code, m.data ? *m.As<int>() : -1); });
    const std::vector<std::pair<int32_t, int>> expected = {
        {3005, -1}, {kReading, 3}, {kReading, 4}, {kReading, 5}, {3006, -1}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(loop.Dropped(), 3u);
    EXPECT_EQ(log.Count("Queue full : 3 readings dropped"), 1u);

    // A queue full of messages that are not readings drops the reading that arrives.
    Queue others;
    others.SetLimit(2, IsReading);
    others.Push(mailbox::Message(3003));
    others.Push(mailbox::Message(3004));
    others.Push(mailbox::Make<int>(kReading, 9));
    EXPECT_EQ(others.Size(), 2u);
    EXPECT_EQ(others.TakeDropped(), 1u);
}

TEST_F(MainLoopTest, DroppedReadingsAreReportedAtMostOncePerMinute) {
    LogCapture log;
    queue.SetLimit(1, IsReading);
    auto flood = [&](int n) {
        for (int i = 0; i < n; ++i)
            queue.Push(mailbox::Make<int>(kReading, i));
        loop.Pass(running, [](mailbox::Message&) {});
    };
    flood(3);  // 2 dropped
    EXPECT_EQ(log.Count("Queue full : "), 1u);
    EXPECT_TRUE(log.Contains("Queue full : 2 readings dropped"));

    clock.Advance(59s);
    flood(5);  // 4 more, not reported yet
    flood(2);  // 1 more
    EXPECT_EQ(log.Count("Queue full : "), 1u);

    clock.Advance(1s);
    loop.Pass(running, [](mailbox::Message&) {});
    EXPECT_EQ(log.Count("Queue full : "), 2u);
    EXPECT_TRUE(log.Contains("Queue full : 5 readings dropped")) << "the count since the last line";

    clock.Advance(10min);
    loop.Pass(running, [](mailbox::Message&) {});
    EXPECT_EQ(log.Count("Queue full : "), 2u) << "nothing dropped, nothing said";
    EXPECT_EQ(loop.Dropped(), 7u);
}

}  // namespace
