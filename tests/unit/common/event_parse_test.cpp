#include <gtest/gtest.h>

#include "log_capture.h"
#include "mailbox.h"
#include "manager_event.h"
#include "sensor_event.h"

using testing_support::LogCapture;

namespace {

class EventParseTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("event_parse_test.log"); }
};

TEST_F(EventParseTest, SensorEventMembersAreTakenOver) {
    auto e = ParseSensorEvent(
        R"({"data":{"ts":1700000000,"v":35},"device_id":"AABBCCDDEEFF","sensor_type":"PM_2_5"})");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->device_id, "AABBCCDDEEFF");
    EXPECT_EQ(e->sensor_type, "PM_2_5");
    EXPECT_EQ(e->data.dump(), R"({"ts":1700000000,"v":35})");
}

TEST_F(EventParseTest, UnusableSensorEventsGiveNothingAndOneErrorEach) {
    const char* bad[] = {
        "",
        "{",
        "null",
        R"("text")",
        R"({"device_id":"A","sensor_type":"SD"})",
        R"({"device_id":"A","data":{}})",
        R"({"sensor_type":"SD","data":{}})",
        R"({"device_id":1,"sensor_type":"SD","data":{}})",
        R"({"device_id":"A","sensor_type":null,"data":{}})",
        R"({"device_id":"A","sensor_type":"SD","data":"x"})",
        R"({"device_id":"","sensor_type":"SD","data":{}})",
        R"({"device_id":"A","sensor_type":"","data":{}})",
    };
    LogCapture log;
    for (const char* text : bad)
        EXPECT_FALSE(ParseSensorEvent(text)) << text;
    EXPECT_FALSE(ParseSensorEvent(nullptr));
    EXPECT_EQ(log.Count("ERROR"), std::size(bad) + 1) << log.Since();
}

TEST_F(EventParseTest, ManagerEventGivesOneCodePerKnownMember) {
    using V = std::vector<int32_t>;
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"internet":"up"}})"), V{mailbox::kInternetConnected});
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"internet":"down"}})"),
              V{mailbox::kInternetDisconnected});
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"wlan":"up"}})"), V{mailbox::kWlanConnected});
    // Anything but "up" counts as down.
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"wlan":"UP"}})"), V{mailbox::kWlanDisconnected});
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"internet":"up","other":1,"wlan":"down"}})"),
              (V{mailbox::kInternetConnected, mailbox::kWlanDisconnected}));
    EXPECT_EQ(ParseManagerEvent(R"({"other":{"internet":"up"}})"), V{});
}

TEST_F(EventParseTest, ManagerEventWithNonTextValuesSkipsThemWithAnError) {
    LogCapture log;
    EXPECT_EQ(ParseManagerEvent(R"({"evt":{"internet":true,"wlan":"up"}})"),
              std::vector<int32_t>{mailbox::kWlanConnected});
    EXPECT_TRUE(ParseManagerEvent(R"({"evt":{"internet":["up"]}})").empty());
    EXPECT_TRUE(ParseManagerEvent(R"({"evt":7})").empty());
    EXPECT_TRUE(ParseManagerEvent("nonsense").empty());
    EXPECT_EQ(log.Count("ERROR"), 4u) << log.Since();
}

}  // namespace
