#include "reconnect_scheduler.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "wait_for.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WaitFor;

class ReconnectSchedulerTest : public ::testing::Test {
  protected:
    std::vector<std::string> Posted() {
        std::lock_guard<std::mutex> lock(mutex);
        return posted;
    }
    std::size_t Count() { return Posted().size(); }

    // Steps the clock to just before `delay` and checks nothing came, then to `delay`.
    void ExpectRetryAfter(std::chrono::seconds delay, const std::string& id) {
        const std::size_t before = Count();
        ASSERT_TRUE(scheduler.Schedule(id));
        time.Advance(delay - 1ms);
        ASSERT_FALSE(WaitFor([&] { return Count() > before; }, 20ms))
            << "retry came before " << delay.count() << " s";
        time.Advance(1ms);
        ASSERT_TRUE(WaitFor([&] { return Count() == before + 1; }))
            << "no retry after " << delay.count() << " s";
        EXPECT_EQ(Posted().back(), id);
    }

    timer::ManualTime time;
    std::mutex mutex;
    std::vector<std::string> posted;
    timer::TimerQueue timers{time};
    ReconnectScheduler scheduler{timers, [this](const std::string& id) {
                                     std::lock_guard<std::mutex> lock(mutex);
                                     posted.push_back(id);
                                 }};
};

TEST_F(ReconnectSchedulerTest, DelayDoublesFromOneSecondUpToAMinute) {
    for (int s : {1, 2, 4, 8, 16, 32, 60, 60}) {
        ExpectRetryAfter(std::chrono::seconds(s), "AABBCCDDEEFF");
    }
}

TEST_F(ReconnectSchedulerTest, ConnectingStartsTheScheduleAgain) {
    ExpectRetryAfter(1s, "AABBCCDDEEFF");
    ExpectRetryAfter(2s, "AABBCCDDEEFF");
    scheduler.Reset("AABBCCDDEEFF");
    EXPECT_EQ(scheduler.NextDelay("AABBCCDDEEFF"), 1s);
    ExpectRetryAfter(1s, "AABBCCDDEEFF");
}

TEST_F(ReconnectSchedulerTest, DevicesHaveTheirOwnSchedules) {
    ExpectRetryAfter(1s, "AAAAAAAAAAAA");
    ExpectRetryAfter(2s, "AAAAAAAAAAAA");
    ExpectRetryAfter(1s, "BBBBBBBBBBBB");
    EXPECT_EQ(scheduler.NextDelay("AAAAAAAAAAAA"), 4s);
}

TEST_F(ReconnectSchedulerTest, OnePendingRetryPerDevice) {
    ASSERT_TRUE(scheduler.Schedule("AABBCCDDEEFF"));
    EXPECT_FALSE(scheduler.Schedule("AABBCCDDEEFF"));
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return Count() == 1; }));
    // The refused call did not lengthen the schedule.
    EXPECT_EQ(scheduler.NextDelay("AABBCCDDEEFF"), 2s);
    time.Advance(10s);
    EXPECT_FALSE(WaitFor([&] { return Count() > 1; }, 20ms));
    EXPECT_TRUE(scheduler.Schedule("AABBCCDDEEFF"));
}

TEST_F(ReconnectSchedulerTest, CancelledRetriesPostNothing) {
    ASSERT_TRUE(scheduler.Schedule("AABBCCDDEEFF"));
    timers.CancelAll();
    // The cancelled handler has run once the device can be scheduled again.
    ASSERT_TRUE(WaitFor([&] { return scheduler.Schedule("AABBCCDDEEFF"); }));
    EXPECT_EQ(Count(), 0u);
}

}  // namespace
