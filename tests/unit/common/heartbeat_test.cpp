// The heartbeat sender on a private bus, its timers on a manual clock.

#include "heartbeat.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "timer_queue.h"
#include "ubus.h"
#include "ubus_bus.h"
#include "wait_for.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WaitFor;

// With the sender's pid, by which the supervisor tells a respawned process from the last one.
const std::string kHeartbeat = R"({"evt":{"hb":1000,"pid":)" + std::to_string(getpid()) + "}}";

class HeartbeatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_UBUS_DAEMON();
        listener = std::make_unique<ubus::Listener>();
        ASSERT_TRUE(listener->Register(heartbeat::kStatusEvent, [this](const char* text) {
            std::lock_guard<std::mutex> lock(mutex);
            received.emplace_back(text);
        }));
        listener->ServerStart();
    }

    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    // Steps the clock and waits until the timer thread has run everything then due.
    void Advance(std::chrono::seconds step) {
        time.Advance(step);
        std::mutex doneMutex;
        bool done = false;
        timers.Add(0s, [&](bool) {
            std::lock_guard<std::mutex> lock(doneMutex);
            done = true;
        });
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(doneMutex);
            return done;
        }));
    }

    // True when no further event arrives within a short while.
    bool Quiet(std::size_t count) {
        return !WaitFor([&] { return Count() > count; }, 200ms);
    }

    // First: its address is set before the timer thread starts.
    std::unique_ptr<testing_support::UbusBus> bus =
        testing_support::UbusDaemon().empty() ? nullptr
                                              : std::make_unique<testing_support::UbusBus>();
    std::unique_ptr<ubus::Listener> listener;
    std::mutex mutex;
    std::vector<std::string> received;
    timer::ManualTime time;
    timer::TimerQueue timers{time};
    heartbeat::Sender sender{timers, heartbeat::kBlehub, 60s};
};

TEST_F(HeartbeatTest, FirstAfterTheFirstDelayThenEveryPeriod) {
    sender.Start(20s);
    Advance(19s);
    EXPECT_TRUE(Quiet(0));
    Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return Count() == 1; }));
    Advance(60s);
    ASSERT_TRUE(WaitFor([&] { return Count() == 2; }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received, (std::vector<std::string>{kHeartbeat, kHeartbeat}));
}

TEST_F(HeartbeatTest, StopEndsItEvenWhenItsHandlerIsRunning) {
    sender.Start(20s);
    Advance(20s);
    ASSERT_TRUE(WaitFor([&] { return Count() == 1; }));

    sender.Stop();
    timers.CancelAll();
    // A handler that was already on its way when the heartbeat was stopped.
    sender.Handler(false);
    Advance(60s);
    Advance(60s);
    EXPECT_TRUE(Quiet(1));
}

TEST_F(HeartbeatTest, StopCancelsThePendingHeartbeat) {
    sender.Start(20s);
    sender.Stop();
    Advance(20s);
    Advance(60s);
    EXPECT_TRUE(Quiet(0));
}

}  // namespace
