// Objects served by a ubus::Listener, called from this process and from Python over a private
// dbus-daemon: answers, statuses, and that neither a flood of events nor a caller that leaves
// stalls the loop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host_bus.h"
#include "private_bus.h"
#include "status_snapshot.h"
#include "ubus.h"
#include "wait_for.h"

namespace {

using testing_support::ChildProcess;
using testing_support::PrivateBus;
using testing_support::WaitFor;
using namespace std::chrono_literals;

constexpr const char* kObject = "test.served";

// A Python caller on the host bus: runs `body` (with `bus` connected, hostbus imported).
ChildProcess PythonCaller(const std::string& body) {
    const std::string code =
        "import asyncio, sys\n"
        "sys.path.insert(0, '" GATEWAY_SOURCE_DIR
        "/sim/lib')\n"
        "import hostbus\n"
        "async def main():\n"
        "    bus = await hostbus.connect()\n" +
        body + "asyncio.run(main())\n";
    return ChildProcess({"/usr/bin/python3", "-c", code});
}

class UbusObjectTest : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_HOST_BUS();
        bus_ = std::make_unique<PrivateBus>();
    }

    // Answer of `method` (true) or false when the call failed.
    static bool Call(const char* method, std::string& answer) {
        ubus::Sender sender(5);
        return sender.Invoke(kObject, method, "", [&](const char* j) { answer = j; });
    }

    std::unique_ptr<PrivateBus> bus_;
};

TEST_F(UbusObjectTest, AnswersItsMethodsAndStatus3ForAnyOther) {
    ubus::Listener listener;
    ASSERT_TRUE(listener.AddObject(
        kObject,
        {{"status", [](const char* args) { return std::string(R"({"args":)") + args + "}"; }},
         {"quiet", [](const char*) { return std::string(); }}}));
    listener.ServerStart();

    ubus::Sender sender(5);
    std::string answer;
    ASSERT_TRUE(
        sender.Invoke(kObject, "status", R"({"a":[1,2]})", [&](const char* j) { answer = j; }));
    EXPECT_EQ(answer, R"({"args":{"a":[1,2]}})");
    bool called = false;
    EXPECT_TRUE(sender.Invoke(kObject, "quiet", "", [&](const char*) { called = true; }));
    EXPECT_FALSE(called);

    // The status as another client sees it.
    auto caller = PythonCaller(
        "    for m in ('nope', 'status'):\n"
        "        try:\n"
        "            await hostbus.call(bus, 'test.served', m, {})\n"
        "            print('ok', m, flush=True)\n"
        "        except hostbus.UbusStatus as e:\n"
        "            print('status', e.status, m, flush=True)\n");
    EXPECT_TRUE(caller.WaitForLine("status 3 nope"));
    EXPECT_TRUE(caller.WaitForLine("ok status"));

    // A second object of the same name is refused.
    ubus::Listener other;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(other.AddObject(kObject, {{"status", [](const char*) { return "{}"; }}}));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to publish object"),
              std::string::npos);
}

TEST_F(UbusObjectTest, CallsAreAnsweredWhileAFloodOfEventsIsHandled) {
    constexpr int kEvents = 4000;
    std::atomic<int> heard{0};
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.flood", [&](const char*) { ++heard; }));
    ASSERT_TRUE(
        listener.AddObject(kObject, {{"status", [&](const char*) {
                                          return "{\"heard\":" + std::to_string(heard.load()) + "}";
                                      }}}));
    listener.ServerStart();
    auto flood = PythonCaller("    for i in range(" + std::to_string(kEvents) +
                              "):\n"
                              "        await hostbus.send(bus, 'test.flood', {'seq': i})\n"
                              "    await hostbus.call(bus, 'test.served', 'status', {})\n");
    ASSERT_TRUE(WaitFor([&] { return heard > 0; }, 10s));

    // Each call waits for its answer, not for the events queued before it.
    int answeredDuringFlood = 0;
    auto slowest = 0ms;
    while (heard < kEvents / 2) {
        std::string answer;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(Call("status", answer));
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
        if (heard < kEvents)
            ++answeredDuringFlood;
    }
    EXPECT_GE(answeredDuringFlood, 3);
    EXPECT_LT(slowest, 1000ms);
    ASSERT_TRUE(flood.Wait(30s));
    EXPECT_EQ(heard, kEvents);
}

TEST_F(UbusObjectTest, ACallerThatLeavesBeforeItsAnswerDoesNotStallTheLoop) {
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::atomic<int> heard{0};
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.after", [&](const char*) { ++heard; }));
    ASSERT_TRUE(listener.AddObject(kObject, {{"hold",
                                              [&](const char*) {
                                                  // Holds the answer until its caller is gone.
                                                  holding = true;
                                                  WaitFor([&] { return release.load(); }, 10s);
                                                  return std::string(R"({"late":true})");
                                              }},
                                             {"status", [](const char*) { return "{}"; }}}));
    listener.ServerStart();

    auto caller = PythonCaller(
        "    bus.send(hostbus.Message(destination=hostbus.escape_name('test.served'),\n"
        "        path='/ubus', interface='ubus.Object', member='Call', signature='ss',\n"
        "        body=['hold', '{}']))\n"
        "    await hostbus.list_objects(bus)\n"  // a round trip: the call has left
        "    bus.disconnect()\n");
    ASSERT_TRUE(caller.Wait(10s));
    ASSERT_TRUE(WaitFor([&] { return holding.load(); }, 5s));
    release = true;

    // The answer to nobody went its way; calls and events still flow.
    std::string answer;
    EXPECT_TRUE(Call("status", answer));
    EXPECT_EQ(answer, "{}");
    ubus::Sender sender(5);
    ASSERT_TRUE(sender.SendEvent("test.after", "{}"));
    EXPECT_TRUE(WaitFor([&] { return heard == 1; }, 5s));
}

TEST_F(UbusObjectTest, ObjectIsServedAgainAfterTheBusRestarts) {
    ubus::Listener listener;
    ASSERT_TRUE(listener.AddObject(kObject, {{"status", [](const char*) { return "{}"; }}}));
    listener.ServerStart();
    testing::internal::CaptureStderr();
    bus_->Restart();
    std::string answer;
    // The failed calls' lines go to the captured text too.
    const bool back = WaitFor([&] { return Call("status", answer); }, 10s);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(back) << err;
    EXPECT_NE(err.find("ubus connection restored"), std::string::npos);
}

TEST(StatusSnapshot, StatusLeadsWithVersionAndUptimeAndOtherMethodsAnswerAsSet) {
    timer::ManualTime time;
    status::Snapshot snapshot("1.2.3", time);
    EXPECT_TRUE(snapshot.Due());
    EXPECT_FALSE(snapshot.Due());
    EXPECT_EQ(snapshot.Answer("status"), R"({"version":"1.2.3","uptime":0})");
    EXPECT_EQ(snapshot.Answer("nodes"), "{}");
    time.Advance(std::chrono::seconds(61));
    EXPECT_TRUE(snapshot.Due());
    snapshot.Set("status", {{"n", 1}});
    snapshot.Set("nodes", {{"name", "\xff"}});  // a peer's bad UTF-8 is replaced, not thrown
    EXPECT_EQ(snapshot.Answer("status"), R"({"version":"1.2.3","uptime":61,"n":1})");
    EXPECT_EQ(snapshot.Answer("nodes"), "{\"name\":\"\xEF\xBF\xBD\"}");
}

}  // namespace
