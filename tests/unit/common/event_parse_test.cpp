#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST_F(EventParseTest, IdsAndTypesAreHeldToWhatNodesHave) {
    for (const std::string& id :
         std::vector<std::string>{"AABBCCDDEEFF", "AABBCCDDEEFF_255", "c29a3d5e710b", "A",
                                  std::string(kMaxDeviceIdBytes, '9')})
        EXPECT_TRUE(ValidDeviceId(id)) << id;
    for (const std::string& id :
         std::vector<std::string>{"", "AA/BB", "A+", "A#", "AA BB", "AA-BB", "AA.BB", "AA\xc3\xa9",
                                  std::string("AA\0B", 4), std::string(kMaxDeviceIdBytes + 1, 'A')})
        EXPECT_FALSE(ValidDeviceId(id)) << id;
    EXPECT_TRUE(ValidSensorType("PM_2_5"));
    EXPECT_TRUE(ValidSensorType(std::string(kMaxSensorTypeBytes, 'X')));
    for (const std::string& type :
         std::vector<std::string>{"", "PM 2.5", "PM/2", std::string(kMaxSensorTypeBytes + 1, 'X')})
        EXPECT_FALSE(ValidSensorType(type)) << type;

    // A huge id is dropped with one short line that gives its length.
    LogCapture log;
    const std::string text =
        R"({"data":{},"device_id":")" + std::string(1000000, 'A') + R"(","sensor_type":"AT"})";
    EXPECT_FALSE(ParseSensorEvent(text.c_str()));
    EXPECT_EQ(log.Count("\"device_id\" is not a device id"), 1u);
    EXPECT_LT(log.Since().size(), 600u);
    EXPECT_TRUE(log.Contains("(" + std::to_string(text.size()) + " bytes)")) << log.Since();
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
