// The Bluetooth recovery's back-off and its report, on a stepped clock with a stand-in "rc".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "log_capture.h"
#include "service_control.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using supervd_test::FakeRc;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

constexpr std::size_t kSteps = 5;  // calls of one recovery

class RecoveryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("supervd_test.log"); }

    ~RecoveryTest() override { rc.Release(); }

    // Steps the clock a second at a time until `calls` "rc" calls were made; the time stepped.
    std::chrono::seconds StepUntil(std::size_t calls) {
        std::chrono::seconds stepped{0};
        EXPECT_TRUE(WaitFor(
            [&] {
                if (rc.Count() >= calls)
                    return true;
                time.Advance(1s);
                stepped += 1s;
                return false;
            },
            20s))
            << "calls " << rc.Count() << " of " << calls;
        return stepped;
    }

    // Requests a recovery and lets it run to its end; the seconds stepped before its first call
    // (at least its wait; a recovery without a wait says so by having no "in N s" line).
    std::chrono::seconds Recover() {
        const std::size_t before = rc.Count();
        EXPECT_TRUE(recovery.Start());
        const auto waited = StepUntil(before + 1);
        StepUntil(before + kSteps);
        EXPECT_TRUE(WaitFor([&] { return !recovery.Running(); }));
        return waited;
    }

    FakeRc rc;
    timer::ManualTime time;
    supervd::BluetoothRecovery recovery{rc.Fn(), nullptr, {0ms, 0ms}, {10s, 40s, 300s}, time};
};

TEST_F(RecoveryTest, RepeatsWaitLongerEachTimeUntilAHealthySpell) {
    LogCapture log;
    Recover();
    EXPECT_FALSE(log.Contains("Bluetooth recovery in ")) << "the first one runs at once";
    EXPECT_EQ(log.Count("Bluetooth recovery done"), 1u);

    // Each repeat within the healthy spell waits: 10 s, doubling up to the longest wait.
    for (auto wait : {10s, 20s, 40s, 40s}) {
        EXPECT_GE(Recover(), wait);
        EXPECT_TRUE(log.Contains("Bluetooth recovery in " + std::to_string(wait.count()) + " s"))
            << wait.count();
    }
    EXPECT_EQ(rc.Count(), 5 * kSteps);

    // Running well for the healthy spell: the next one is at once again.
    time.Advance(300s);
    Recover();
    EXPECT_EQ(log.Count("Bluetooth recovery in "), 4u);
    EXPECT_GE(Recover(), 10s) << "and the wait starts over";
    EXPECT_EQ(log.Count("Bluetooth recovery in 10 s"), 2u);
}

TEST_F(RecoveryTest, ReportsWhileWaitingOrRunningAreCountedNotActedOn) {
    LogCapture log;
    Recover();
    ASSERT_TRUE(recovery.Start());  // waits 10 s
    ASSERT_TRUE(WaitFor([&] { return log.Contains("Bluetooth recovery in 10 s"); }));
    EXPECT_FALSE(recovery.Start());
    EXPECT_FALSE(recovery.Start());
    EXPECT_EQ(recovery.Counted(), 2u);
    EXPECT_EQ(log.Count("report counted"), 1u) << "one line per pending recovery";
    rc.Hold("hci_cfg restart");
    EXPECT_GE(StepUntil(kSteps + 1), 10s);

    // While it runs, too: one recovery in all.
    ASSERT_TRUE(WaitFor([&] { return rc.Holding(); }));
    EXPECT_FALSE(recovery.Start());
    rc.Release();
    ASSERT_TRUE(WaitFor([&] { return !recovery.Running(); }));
    EXPECT_EQ(rc.Count(), 2 * kSteps);
    EXPECT_EQ(recovery.Counted(), 3u);
    EXPECT_EQ(log.Count("report counted"), 1u);

    // The count is reported when the next one is asked for.
    ASSERT_TRUE(recovery.Start());
    EXPECT_TRUE(log.Contains("3 Bluetooth reports counted while the last recovery"));
}

TEST_F(RecoveryTest, FailedStepsAreReportedAsAFailure) {
    LogCapture log;
    rc.Answer(false);  // no "rc", or no init scripts
    Recover();
    EXPECT_TRUE(
        log.Contains("Bluetooth recovery failed : blehub stop, bluetoothd stop, "
                     "hci_cfg restart, bluetoothd start, blehub start"));
    EXPECT_FALSE(log.Contains("Bluetooth recovery done"));
}

TEST_F(RecoveryTest, AStopDuringTheWaitEndsItWithoutACall) {
    LogCapture log;
    Recover();
    ASSERT_TRUE(recovery.Start());
    ASSERT_TRUE(WaitFor([&] { return log.Contains("Bluetooth recovery in 10 s"); }));
    recovery.Stop();  // returns without the clock moving
    EXPECT_EQ(rc.Count(), kSteps);
    EXPECT_TRUE(log.Contains("Bluetooth recovery abandoned at stop"));
}

}  // namespace
