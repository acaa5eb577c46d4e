// The router's transport against a real ubusd of the same build (a libubus build only):
// events from an EventSender reach a Listener whole and in order, calls to a missing object
// fail.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ubus.h"
#include "ubus_bus.h"
#include "wait_for.h"

namespace {

using nlohmann::json;
using testing_support::WaitFor;
using namespace std::chrono_literals;

class UbusdTest : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_UBUS_DAEMON();
        ubusd_ = std::make_unique<testing_support::UbusBus>();
        socket_ = ubusd_->SocketPath();
    }

    std::string socket_;
    std::unique_ptr<testing_support::UbusBus> ubusd_;
};

TEST_F(UbusdTest, EventsArriveWholeAndInOrder) {
    std::mutex mutex;
    std::vector<std::string> got;
    ubus::Listener listener(socket_.c_str());
    ASSERT_TRUE(listener.Connected());
    ASSERT_TRUE(listener.Register("test.order", [&](const char* text) {
        std::lock_guard<std::mutex> lock(mutex);
        got.emplace_back(text);
    }));
    listener.ServerStart();

    // Times past 2038 and counters past 32 bits must survive a 32-bit CPU's blobmsg.
    constexpr int kCount = 40;
    constexpr int64_t kLate = 4102444800;  // 2100-01-01
    ubus::EventSender sender(5, socket_.c_str());
    for (int i = 0; i < kCount; ++i) {
        json event = {{"n", i}, {"ts", kLate + i}, {"name", "node-" + std::to_string(i)}};
        ASSERT_TRUE(sender.SendEvent("test.order", event.dump())) << i;
    }
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return got.size() >= kCount;
        },
        30s));
    listener.ServerStop();

    ASSERT_EQ(got.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        const json event = json::parse(got[i]);
        EXPECT_EQ(event.at("n").get<int>(), i);
        EXPECT_EQ(event.at("ts").get<int64_t>(), kLate + i) << got[i];
        EXPECT_EQ(event.at("name").get<std::string>(), "node-" + std::to_string(i));
    }
    EXPECT_EQ(sender.Opened(), 1u);
}

TEST_F(UbusdTest, CallToAMissingObjectFails) {
    ubus::Sender sender(2, socket_.c_str());
    ASSERT_TRUE(sender.Connected());
    bool answered = false;
    EXPECT_FALSE(
        sender.Invoke("no.such.object", "get", "{}", [&](const char*) { answered = true; }));
    EXPECT_FALSE(answered);
}

}  // namespace
