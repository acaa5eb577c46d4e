#include "settings.h"

#include <gtest/gtest.h>

#include "log_capture.h"

using namespace std::chrono_literals;
using testing_support::LogCapture;

namespace {

Settings From(const char* name, const char* value) {
    return Settings::FromSys(nlohmann::json{{name, value}});
}

TEST(Settings, AHeartbeatTimeOutUnderTheFloorIsRefusedAndTheDefaultKept) {
    LogCapture::Init("supervd_test.log");
    // blehub's heartbeat comes every 60 s: a time-out at or under it restarts a healthy blehub.
    for (const char* value : {"10", "60", "89", "0", "-5"}) {
        LogCapture log;
        EXPECT_EQ(From("heartbeat_timeout", value).heartbeat_timeout, 120s) << value;
        EXPECT_EQ(log.Count("ERROR"), 1u) << value;
        EXPECT_TRUE(log.Contains(std::string("Option heartbeat_timeout \"") + value +
                                 "\" ignored : below 90"))
            << value;
    }
    EXPECT_EQ(From("heartbeat_timeout", "90").heartbeat_timeout, 90s);
    EXPECT_EQ(From("heartbeat_timeout", "600").heartbeat_timeout, 600s);
}

TEST(Settings, TheBackOffTimesAreReadAndBadOnesRefused) {
    LogCapture::Init("supervd_test.log");
    const auto s = Settings::FromSys(nlohmann::json{
        {"recovery_backoff", "2"}, {"recovery_backoff_max", "8"}, {"recovery_healthy", "30"}});
    EXPECT_EQ(s.recovery_backoff, 2s);
    EXPECT_EQ(s.recovery_backoff_max, 8s);
    EXPECT_EQ(s.recovery_healthy, 30s);
    LogCapture log;
    EXPECT_EQ(From("recovery_backoff", "soon").recovery_backoff, 10s);
    EXPECT_TRUE(log.Contains("Option recovery_backoff \"soon\" ignored : not a whole number"));
}

}  // namespace
