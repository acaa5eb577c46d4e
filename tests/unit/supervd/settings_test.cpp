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

}  // namespace
