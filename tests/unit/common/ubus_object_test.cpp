// Objects served by a ubus::Listener, called from this process and from another client over a
// private bus (Python on the host bus; ubus's own client and this build's sender on ubusd):
// answers, statuses, and that neither a flood of events nor a caller that leaves stalls the
// loop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "status_snapshot.h"
#include "ubus.h"
#include "ubus_bus.h"
#include "wait_for.h"

namespace {

using testing_support::ChildProcess;
using testing_support::UbusBus;
using testing_support::WaitFor;
using namespace std::chrono_literals;

constexpr const char* kObject = "test.served";

#ifdef GATEWAY_UBUS_LIBUBUS

// Calls each method of kObject in turn; prints "ok METHOD" or "status N METHOD".
ChildProcess CallsFromAnotherClient(const std::string& methods) {
    // The client's exit status is the ubus status, negated.
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "for m in " + methods + "; do \"$@\" call " + kObject +
                                         " $m >/dev/null 2>&1; s=$?; if [ $s = 0 ]; then echo "
                                         "ok $m; else echo status $((256 - s)) $m; fi; done",
                                     "sh"};
    for (const auto& arg : testing_support::UbusCliCommand({}))
        argv.push_back(arg);
    return ChildProcess(argv);
}

// Sends `count` events test.flood {"seq": i}.
ChildProcess FloodFromAnotherClient(int count) {
    return ChildProcess(
        testing_support::BuiltProgram({UBUS_SEND_HELPER, "test.flood", std::to_string(count)}));
}

// Calls `method` of kObject and leaves before the answer.
ChildProcess CallAndLeave(const std::string& method) {
    return ChildProcess(testing_support::UbusCliCommand({"-t", "1", "call", kObject, method}),
                        /*quiet=*/true);
}

#else

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

ChildProcess CallsFromAnotherClient(const std::string& methods) {
    return PythonCaller("    for m in '" + methods +
                        "'.split():\n"
                        "        try:\n"
                        "            await hostbus.call(bus, 'test.served', m, {})\n"
                        "            print('ok', m, flush=True)\n"
                        "        except hostbus.UbusStatus as e:\n"
                        "            print('status', e.status, m, flush=True)\n");
}

// All on one connection, then a call.
ChildProcess FloodFromAnotherClient(int count) {
    return PythonCaller("    for i in range(" + std::to_string(count) +
                        "):\n"
                        "        await hostbus.send(bus, 'test.flood', {'seq': i})\n"
                        "    await hostbus.call(bus, 'test.served', 'status', {})\n");
}

ChildProcess CallAndLeave(const std::string& method) {
    return PythonCaller(
        "    bus.send(hostbus.Message(destination=hostbus.escape_name('test.served'),\n"
        "        path='/ubus', interface='ubus.Object', member='Call', signature='ss',\n"
        "        body=['" +
        method +
        "', '{}']))\n"
        "    await hostbus.list_objects(bus)\n"  // a round trip: the call has left
        "    bus.disconnect()\n");
}

#endif

class UbusObjectTest : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_UBUS_DAEMON();
#ifdef GATEWAY_UBUS_LIBUBUS
        if (testing_support::UbusCli().empty())
            GTEST_SKIP() << testing_support::kNoUbusCli;
#endif
        bus_ = std::make_unique<UbusBus>();
    }

    // Answer of `method` (true; "" for no data) or false when the call failed. On ubusd
    // from another process: a call holds libubus's process-wide lock until its answer, which
    // the listener of the same process would need to give it.
    static bool Call(const char* method, std::string& answer, const std::string& args = "") {
        answer.clear();
#ifdef GATEWAY_UBUS_LIBUBUS
        auto argv = testing_support::UbusCliCommand({"-S", "-t", "5", "call", kObject, method});
        if (!args.empty())
            argv.push_back(args);
        ChildProcess client(argv, /*quiet=*/true);
        const auto line = client.WaitForLine("", 10s);
        const auto status = client.Wait(10s);
        if (!status || *status != 0)
            return false;
        // Compact, as this process would see it.
        if (line)
            answer = nlohmann::ordered_json::parse(*line).dump();
        return true;
#else
        ubus::Sender sender(5);
        return sender.Invoke(kObject, method, args, [&](const char* j) { answer = j; });
#endif
    }

    std::unique_ptr<UbusBus> bus_;
};

TEST_F(UbusObjectTest, AnswersItsMethodsAndStatus3ForAnyOther) {
    ubus::Listener listener;
    ASSERT_TRUE(listener.AddObject(
        kObject,
        {{"status", [](const char* args) { return std::string(R"({"args":)") + args + "}"; }},
         {"quiet", [](const char*) { return std::string(); }}}));
    listener.ServerStart();

    std::string answer;
    ASSERT_TRUE(Call("status", answer, R"({"a":[1,2]})"));
    EXPECT_EQ(answer, R"({"args":{"a":[1,2]}})");
    EXPECT_TRUE(Call("quiet", answer));
    EXPECT_EQ(answer, "");

    // The status as another client sees it.
    auto caller = CallsFromAnotherClient("nope status");
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
    auto flood = FloodFromAnotherClient(kEvents);
    ASSERT_TRUE(WaitFor([&] { return heard > 0; }, 10s));

    // Calls keep being answered while the flood is handled. A call can only come after the
    // events the bus queued before it, so how many fall within the flood depends on how fast
    // the sender is against this build (a sanitizer build is slower than a Python sender).
    auto slowest = 0ms;
    do {
        std::string answer;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(Call("status", answer));
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
    } while (heard < kEvents);
    EXPECT_LT(slowest, 5000ms);
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

    auto caller = CallAndLeave("hold");
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
