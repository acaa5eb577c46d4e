#include "manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "fakes.h"
#include "log_capture.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using supervd_test::FakeRc;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

// Stands in for the resolver: answers `resolvable`, or waits while `hang` is set. Its state is
// shared with the lookups, which may outlive the test on their detached threads.
class FakeResolver {
  public:
    supervd::NameProbe::Resolve Fn() {
        return [state = state_](const std::string& host) {
            std::unique_lock<std::mutex> lock(state->mutex);
            ++state->calls;
            state->host = host;
            state->cv.wait(lock, [&] { return !state->hang; });
            supervd::Lookup lookup;
            lookup.resolved = state->resolvable;
            return lookup;
        };
    }
    void Set(bool resolvable, bool hang) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->resolvable = resolvable;
        state_->hang = hang;
        state_->cv.notify_all();
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->calls;
    }
    std::string LastHost() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->host;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        int calls = 0;
        std::string host;
        bool resolvable = true;
        bool hang = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class ManagerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("supervd_test.log"); }

    ManagerTest() {
        auto nvram = std::make_unique<NVRAM>();
        nvram->access_token = "token";
        Outside outside;
        outside.send_event = [this](const char* type, const std::string& json) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(std::string(type) + " " + json);
            return true;
        };
        outside.service = rc.Fn();
        outside.resolve = resolver.Fn();
        outside.post = [](const std::string&, const std::vector<std::string>&, const std::string&) {
            return http::Response{500, "no"};
        };
        Settings settings;
        settings.probe_host = "probe.example";
        manager = std::make_unique<Manager>(std::move(nvram), settings, time, outside);
    }

    ~ManagerTest() override {
        resolver.Set(true, false);
        rc.Release();
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    void Push(int32_t code, int value) { manager->Queue().Push(mailbox::Make<int>(code, value)); }

    std::mutex mutex;
    std::vector<std::string> events;
    FakeRc rc;
    FakeResolver resolver;
    timer::ManualTime time;
    std::unique_ptr<Manager> manager;
};

TEST_F(ManagerTest, NetworkChangesAreBroadcastInOrder) {
    manager->NetMonUBUSHandler(R"({"action":"ifdown","interface":"wan"})");
    manager->NetMonUBUSHandler(R"({"action":"ifdown","interface":"lan"})");
    manager->Queue().Push(mailbox::Message(mailbox::kInternetDisconnected));
    manager->NetMonUBUSHandler(R"({"action":"ifup","interface":"wan"})");
    manager->Queue().Push(mailbox::Message(mailbox::kInternetConnected));
    EXPECT_EQ(manager->Pass(), 4u);
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            R"(brelix.manager {"evt":{"wlan":"down"}})",
                            R"(brelix.manager {"evt":{"internet":"down"}})",
                            R"(brelix.manager {"evt":{"wlan":"up"}})",
                            R"(brelix.manager {"evt":{"internet":"up"}})",
                        }));
}

TEST_F(ManagerTest, HeartbeatsExpiriesAndUnknownCodesAreDispatched) {
    LogCapture log;
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1003}})");
    manager->Pass();
    EXPECT_TRUE(manager->Heartbeats().FindHeartbeat(1003));

    Push(mailbox::kHeartbeatExpire, 1001);
    Push(mailbox::kHeartbeatExpire, 1004);
    Push(mailbox::kHeartbeatExpire, 1005);
    Push(mailbox::kHeartbeatExpire, 1234);
    manager->Queue().Push(mailbox::Message(4242));  // not a supervisor message
    manager->Pass();
    EXPECT_EQ(rc.Calls(), (std::vector<std::string>{"reportd restart", "wlancfgd restart"}));
    EXPECT_TRUE(log.Contains("HEARTBEAT_EXPIRE 1001"));
    EXPECT_TRUE(log.Contains("TODO: PLC"));
    EXPECT_TRUE(log.Contains("Wrong Process Code (1234)"));
    EXPECT_TRUE(Events().empty());

    // A failing "rc" changes nothing else: the next expiry is handled the same way.
    rc.Answer(false);
    Push(mailbox::kHeartbeatExpire, 1002);
    manager->Pass();
    EXPECT_EQ(rc.Calls().back(), "mqttpub restart");
}

TEST_F(ManagerTest, AnErrorReportOtherThanBluetoothsIsOnlyLogged) {
    manager->ProcessUBUSHandler(R"({"evt":{"err":7}})");
    manager->Pass();
    EXPECT_FALSE(manager->Recovery().Running());
    EXPECT_EQ(rc.Count(), 0u);
}

TEST_F(ManagerTest, TwoBluetoothErrorsRunOneRecoveryInTheWrittenOrder) {
    LogCapture log;
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1000}})");
    manager->Pass();
    manager->ProcessUBUSHandler(R"({"evt":{"err":2002}})");
    manager->ProcessUBUSHandler(R"({"evt":{"err":2001}})");
    manager->Pass();
    EXPECT_TRUE(log.Contains("bt_recover_...ing"));
    ASSERT_TRUE(WaitFor([&] { return rc.Count() == 3; }));
    EXPECT_FALSE(manager->Heartbeats().FindHeartbeat(1000))
        << "blehub's heartbeat is forgotten before it is stopped";

    // bluetoothd starts 1 s after hci_cfg's restart, blehub 2 s after that.
    auto stepped = 0ms;
    auto stepUntil = [&](std::size_t calls) {
        return WaitFor([&] {
            if (rc.Count() >= calls)
                return true;
            time.Advance(100ms);
            stepped += 100ms;
            return false;
        });
    };
    ASSERT_TRUE(stepUntil(4));
    EXPECT_GE(stepped, 1000ms);
    stepped = 0ms;
    ASSERT_TRUE(stepUntil(5));
    EXPECT_GE(stepped, 2000ms);
    EXPECT_EQ(rc.Calls(),
              (std::vector<std::string>{"blehub stop", "bluetoothd stop", "hci_cfg restart",
                                        "bluetoothd start", "blehub start"}));
    ASSERT_TRUE(WaitFor([&] { return !manager->Recovery().Running(); }));

    // Once it is over, the next report starts a new one, after the back-off's first wait.
    manager->ProcessUBUSHandler(R"({"evt":{"err":2001}})");
    manager->Pass();
    ASSERT_TRUE(WaitFor([&] { return log.Contains("Bluetooth recovery in 10 s"); }));
    EXPECT_EQ(rc.Count(), 5u);
    time.Advance(10s);
    EXPECT_TRUE(WaitFor([&] { return rc.Count() == 8; }));
}

TEST_F(ManagerTest, ANewProcessIsToldTheKnownStateAtItsFirstHeartbeat) {
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1001,"pid":10}})");
    manager->Pass();
    EXPECT_TRUE(Events().empty()) << "nothing known yet: the first check tells";

    manager->NetMonUBUSHandler(R"({"action":"ifup","interface":"wan"})");
    manager->Queue().Push(mailbox::Message(mailbox::kInternetDisconnected));
    manager->Pass();
    const auto told = Events().size();
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1001,"pid":10}})");  // the same process
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1001,"pid":11}})");  // respawned in time
    manager->ProcessUBUSHandler(R"({"evt":{"hb":4242,"pid":12}})");  // no daemon of ours
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1003}})");           // first of its code
    manager->Pass();
    const std::vector<std::string> state{R"(brelix.manager {"evt":{"wlan":"up"}})",
                                         R"(brelix.manager {"evt":{"internet":"down"}})"};
    auto expected = state;
    expected.insert(expected.end(), state.begin(), state.end());
    const auto all = Events();
    EXPECT_EQ(std::vector<std::string>(all.begin() + told, all.end()), expected);
}

TEST_F(ManagerTest, AStopDuringARecoveryWaitsForTheCallUnderWayOnly) {
    rc.Hold("bluetoothd stop");
    manager->ProcessUBUSHandler(R"({"evt":{"err":2002}})");
    manager->Pass();
    ASSERT_TRUE(WaitFor([&] { return rc.Holding(); }));
    std::atomic<bool> gone{false};
    std::thread stopper([&] {
        manager.reset();  // as at the end of Run
        gone = true;
    });
    EXPECT_FALSE(WaitFor([&] { return gone.load(); }, 200ms)) << "did not wait for the call";
    rc.Release();
    ASSERT_TRUE(WaitFor([&] { return gone.load(); }));
    stopper.join();
    EXPECT_EQ(rc.Calls(), (std::vector<std::string>{"blehub stop", "bluetoothd stop"}));
}

TEST_F(ManagerTest, TheInternetCheckRepeatsAndAHangingLookupHoldsUpNothing) {
    LogCapture log;
    manager->InternetCheck(false);
    ASSERT_TRUE(WaitFor([&] { return manager->Queue().Size() == 1; }));
    EXPECT_EQ(resolver.LastHost(), "probe.example");
    manager->Pass();

    resolver.Set(false, false);
    time.Advance(30s);
    ASSERT_TRUE(WaitFor([&] { return manager->Queue().Size() == 1; }));
    manager->Pass();
    EXPECT_EQ(Events(),
              (std::vector<std::string>{R"(brelix.manager {"evt":{"internet":"up"}})",
                                        R"(brelix.manager {"evt":{"internet":"down"}})"}));

    // A lookup that hangs: heartbeats go on, and the next check counts the internet down.
    resolver.Set(true, true);
    time.Advance(30s);
    ASSERT_TRUE(WaitFor([&] { return resolver.Calls() == 3; }));
    manager->ProcessUBUSHandler(R"({"evt":{"hb":1001}})");
    manager->Pass();
    EXPECT_TRUE(manager->Heartbeats().FindHeartbeat(1001));
    time.Advance(30s);
    ASSERT_TRUE(WaitFor([&] { return manager->Queue().Size() == 1; }));
    EXPECT_EQ(resolver.Calls(), 3) << "a second lookup was started beside the hanging one";
    EXPECT_TRUE(log.Contains("Name lookup of probe.example still running"));
    manager->Pass();
    EXPECT_EQ(Events().back(), R"(brelix.manager {"evt":{"internet":"down"}})");

    // The stop does not wait for it, and the lookup's late answer goes nowhere.
    std::atomic<bool> gone{false};
    std::thread stopper([&] {
        manager.reset();
        gone = true;
    });
    EXPECT_TRUE(WaitFor([&] { return gone.load(); }));
    stopper.join();
    resolver.Set(true, false);
}

TEST(ServiceCtrl, AnRcThatCannotBeReachedIsOneErrorLinePerCall) {
    LogCapture::Init("supervd_test.log");
    LogCapture log;
    // No bus in this test program: the call fails as when "rc" is missing. The object is
    // named once; each failed action is one line.
    EXPECT_FALSE(supervd::ServiceCtrl("reportd", "restart", 1));
    EXPECT_FALSE(supervd::ServiceCtrl("mqttpub", "restart", 1));
    EXPECT_EQ(log.Count("ERROR"), 3u);
    EXPECT_EQ(log.Count("ubus object \"rc\""), 1u);
    EXPECT_TRUE(log.Contains("rc restart of reportd failed"));
    EXPECT_TRUE(log.Contains("rc restart of mqttpub failed"));
}

}  // namespace
