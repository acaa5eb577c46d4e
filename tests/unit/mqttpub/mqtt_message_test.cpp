#include "mqtt_message.h"

#include <gtest/gtest.h>

#include "log_capture.h"

using testing_support::LogCapture;

namespace {

class MqttMessageTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("mqttpub_test.log"); }
};

TEST_F(MqttMessageTest, TopicFromIdAndTypePayloadCompactWithSortedKeys) {
    auto event = ParseSensorEvent(
        R"({"sensor_type":"PM_2_5","device_id":"AABBCCDDEEFF_2","data":{"v":0.10000000149011612,"ts":1700000000}})");
    ASSERT_TRUE(event);
    auto m = BuildMqttMessage(*event);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->topic, "brelix/AABBCCDDEEFF_2/PM_2_5");
    EXPECT_EQ(m->payload, R"({"ts":1700000000,"v":0.10000000149011612})");
}

TEST_F(MqttMessageTest, PayloadKeepsNonAsciiText) {
    SensorEvent e{"A", "SD", {{"zeta", "°"}, {"alpha", {{"b", 1}, {"a", 2}}}}};
    EXPECT_EQ(BuildMqttMessage(e)->payload, R"({"alpha":{"a":2,"b":1},"zeta":"°"})");
}

TEST_F(MqttMessageTest, IdsThatBreakTheTopicAreRefused) {
    LogCapture log;
    for (const auto& [id, type] : std::vector<std::pair<std::string, std::string>>{
             {"A/B", "SD"}, {"A", "S+"}, {"#", "SD"}, {"A", "x/y"}, {"\xff", "SD"}}) {
        EXPECT_FALSE(BuildMqttMessage(SensorEvent{id, type, nlohmann::json::object()})) << id;
    }
    EXPECT_EQ(log.Count("ERROR"), 5u);
}

}  // namespace
