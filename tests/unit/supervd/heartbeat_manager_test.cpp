#include "heartbeat_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

class HeartbeatManagerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("supervd_test.log"); }

    // Steps the clock and lets every timer thread run what is due.
    void Advance(std::chrono::seconds step) {
        time.Advance(step);
        heartbeats.Settle();
    }

    // Codes of the expiries queued so far, taken out of the queue.
    std::vector<int> Expired() {
        mailbox::Message m;
        while (queue.TryPop(m)) {
            EXPECT_EQ(m.code, mailbox::kHeartbeatExpire);
            expired.push_back(*m.As<int>());
        }
        return expired;
    }

    timer::ManualTime time;
    queue::ThreadSafeQueue<mailbox::Message> queue;
    HeartbeatManager heartbeats{queue, 120s, time};
    std::vector<int> expired;
};

TEST_F(HeartbeatManagerTest, HeartbeatsEveryFiveOrSixtySecondsNeverExpire) {
    for (int t = 0; t < 600; t += 5) {
        heartbeats.UpdateHeartbeat(1001);
        if (t % 60 == 0)
            heartbeats.UpdateHeartbeat(1000);
        Advance(5s);
    }
    EXPECT_TRUE(Expired().empty());
    EXPECT_EQ(heartbeats.Count(), 2u);
}

TEST_F(HeartbeatManagerTest, SilenceExpiresOnceExactlyAtTheTimeOut) {
    heartbeats.UpdateHeartbeat(1001);
    Advance(119s);
    EXPECT_TRUE(Expired().empty());
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 1; }));
    EXPECT_EQ(expired[0], 1001);
    Advance(600s);
    EXPECT_EQ(Expired().size(), 1u) << "the same silence expired twice";
    EXPECT_TRUE(heartbeats.FindHeartbeat(1001)) << "an expired timer stays, not armed";

    // The restarted process's first heartbeat arms it again.
    heartbeats.UpdateHeartbeat(1001);
    time.Advance(120s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 2; }));
    EXPECT_EQ(heartbeats.Count(), 1u);
}

TEST_F(HeartbeatManagerTest, TwoCodesHaveTwoEntriesAndExpireApart) {
    LogCapture log;
    heartbeats.UpdateHeartbeat(1000);
    Advance(60s);
    heartbeats.UpdateHeartbeat(1002);
    heartbeats.UpdateHeartbeat(1002);  // the same code again: still one entry for it
    EXPECT_EQ(heartbeats.Count(), 2u);
    time.Advance(60s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 1; }));
    EXPECT_EQ(expired[0], 1000);
    Advance(59s);
    EXPECT_EQ(Expired().size(), 1u);
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 2; }));
    EXPECT_EQ(expired[1], 1002);
    heartbeats.CloseHeartbeat(1002);
    EXPECT_TRUE(log.Contains("Num of Timer : 1"));
}

TEST_F(HeartbeatManagerTest, CloseWhileArmedGivesNoExpiryAndTheNextHeartbeatStartsAfresh) {
    LogCapture log;
    heartbeats.UpdateHeartbeat(1000);
    Advance(100s);
    heartbeats.CloseHeartbeat(1000);
    EXPECT_TRUE(log.Contains("Delete Heatbeat Timer : 1000"));
    EXPECT_TRUE(log.Contains("Num of Timer : 0"));
    EXPECT_FALSE(heartbeats.FindHeartbeat(1000));
    time.Advance(600s);
    heartbeats.CloseHeartbeat(4242);  // no entry: only the count is logged
    EXPECT_TRUE(Expired().empty());

    heartbeats.UpdateHeartbeat(1000);
    Advance(119s);
    EXPECT_TRUE(Expired().empty()) << "the new entry counts from its own heartbeat";
    time.Advance(1s);
    EXPECT_TRUE(WaitFor([&] { return Expired().size() == 1; }));
}

TEST_F(HeartbeatManagerTest, OnlyTheSixProcessCodesAreWatchedAndOthersAreCountedAtALineAMinute) {
    LogCapture log;
    for (int code = 2000; code < 2100; ++code)
        heartbeats.UpdateHeartbeat(code);
    for (int code : {-1000, -1, 0, 999, 1006, 1234})
        heartbeats.UpdateHeartbeat(code);
    EXPECT_EQ(heartbeats.Count(), 0u);
    EXPECT_EQ(heartbeats.Ignored(), 106u);
    EXPECT_EQ(log.Count("Heartbeat of unknown process"), 1u);
    for (int code = 1000; code <= 1005; ++code)
        EXPECT_TRUE(heartbeats.UpdateHeartbeat(code)) << code;
    EXPECT_EQ(heartbeats.Count(), 6u);

    Advance(60s);
    heartbeats.UpdateHeartbeat(4242);
    heartbeats.UpdateHeartbeat(4243);
    EXPECT_EQ(log.Count("Heartbeat of unknown process"), 2u);
    EXPECT_TRUE(
        log.Contains("Heartbeat of unknown process 4242 ignored (106 since the last line, "
                     "107 in all)"));
    // The daemons' watches were not touched: blehub still expires on time.
    heartbeats.UpdateHeartbeat(1000);
    Advance(119s);
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 6; }));
}

TEST_F(HeartbeatManagerTest, TheFirstHeartbeatOfANewProcessIsTold) {
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1001, 100)) << "never seen";
    EXPECT_FALSE(heartbeats.UpdateHeartbeat(1001, 100));
    // Respawned within the time-out: only its pid tells.
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1001, 101));
    EXPECT_FALSE(heartbeats.UpdateHeartbeat(1001, 101));
    // A sender without a pid: a new process only after silence or a close.
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1002));
    EXPECT_FALSE(heartbeats.UpdateHeartbeat(1002));
    time.Advance(120s);
    ASSERT_TRUE(WaitFor([&] { return Expired().size() == 2; }));
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1002));
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1001, 101)) << "the same pid after an expiry";
    heartbeats.CloseHeartbeat(1001);
    EXPECT_TRUE(heartbeats.UpdateHeartbeat(1001, 101));
    EXPECT_FALSE(heartbeats.UpdateHeartbeat(1001)) << "no pid sent: nothing to tell it by";
}

// The recovery thread closes blehub's timer while the main loop re-arms it: the look-up and
// the re-arm must not touch a timer that is being destroyed (the sanitizer runs see it).
TEST_F(HeartbeatManagerTest, CloseRacingUpdateLeavesAConsistentList) {
    std::atomic<bool> go{true};
    std::thread closer([&] {
        while (go.load())
            heartbeats.CloseHeartbeat(1000);
    });
    for (int i = 0; i < 500; ++i) {
        heartbeats.UpdateHeartbeat(1000);
        heartbeats.UpdateHeartbeat(1001);
    }
    go.store(false);
    closer.join();
    EXPECT_LE(heartbeats.Count(), 2u);
    EXPECT_TRUE(heartbeats.FindHeartbeat(1001));
}

}  // namespace
