// provd's WPS: started again after a time-out, and after credentials that brought no
// association, on a stepped clock and a station that does what the test says.

#include "provisioner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "log_capture.h"
#include "wait_for.h"

using testing_support::LogCapture;
using testing_support::WaitFor;
using namespace std::chrono_literals;

namespace {

class FakeStation : public Station {
  public:
    void StartWps() override { ++starts; }
    bool Associated() override {
        ++checks;
        return associated.load();
    }

    std::atomic<int> starts{0};
    std::atomic<int> checks{0};
    std::atomic<bool> associated{false};
};

class ProvisionerWpsTest : public ::testing::Test {
  protected:
    static constexpr auto kWpsTimeout = 100s;

    void SetUp() override {
        LogCapture::Init("provd_test.log");
        auto nvram = std::make_unique<NVRAM>();
        nvram->wps_timeout = static_cast<int>(kWpsTimeout.count());
        auto owned = std::make_unique<FakeStation>();
        station = owned.get();
        provd = std::make_unique<Provisioner>(std::move(nvram), std::move(owned), time);
    }

    // Handles what the event and timer threads have posted until `done` holds.
    template <typename Condition>
    bool HandleUntil(Condition done) {
        const std::atomic<bool> running{true};
        return WaitFor([&] {
            provd->Loop().Pass(running, [&](mailbox::Message& m) { provd->EvtMsgHandler(m); });
            return done();
        });
    }
    void Credentials() {
        provd->WPSEventHandler(R"({"ifname":"wlan0","ssid":"HomeNet","key":"k"})");
        ASSERT_TRUE(HandleUntil([] { return true; }));
    }

    timer::ManualTime time;
    FakeStation* station = nullptr;
    std::unique_ptr<Provisioner> provd;
};

TEST_F(ProvisionerWpsTest, WithoutCredentialsEachTimeOutStartsWpsAgain) {
    LogCapture log;
    provd->WPSStart();
    for (int starts = 2; starts <= 3; ++starts) {
        time.Advance(kWpsTimeout);
        ASSERT_TRUE(HandleUntil([&] { return station->starts == starts; }));
    }
    EXPECT_EQ(log.Count("WPS Timeout"), 2u);
}

TEST_F(ProvisionerWpsTest, CredentialsWithoutAnAssociationStartWpsAgainAfterOnePeriod) {
    LogCapture log;
    provd->WPSStart();
    time.Advance(kWpsTimeout / 2);
    Credentials();
    // The time-out armed by the start is gone: its moment passes without a start.
    time.Advance(kWpsTimeout / 2);
    time.Advance(kWpsTimeout / 2);
    ASSERT_TRUE(HandleUntil([&] { return station->starts == 2; }));
    ASSERT_TRUE(HandleUntil([] { return true; }));
    EXPECT_EQ(station->starts, 2);
    EXPECT_EQ(log.Count("No association after the WPS credentials : WPS started again"), 1u);
    EXPECT_EQ(log.Count("WPS Timeout"), 0u) << log.Since();

    // The new session is watched like the first.
    time.Advance(kWpsTimeout);
    EXPECT_TRUE(HandleUntil([&] { return station->starts == 3; }));
}

TEST_F(ProvisionerWpsTest, CredentialsThatAssociateEndTheWps) {
    provd->WPSStart();
    station->associated = true;
    Credentials();
    const int checks = station->checks;
    time.Advance(kWpsTimeout);
    ASSERT_TRUE(HandleUntil([&] { return station->checks > checks; }));
    EXPECT_EQ(station->starts, 1);
}

}  // namespace
