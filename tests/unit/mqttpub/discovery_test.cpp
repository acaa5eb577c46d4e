#include "discovery.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "sensor_classes.h"
#include "sensor_data.h"

using nlohmann::json;
using testing_support::LogCapture;

namespace {

class DiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("mqttpub_test.log"); }

    static json Payload(const std::optional<MqttMessage>& m) {
        EXPECT_TRUE(m.has_value());
        return m ? json::parse(m->payload) : json();
    }

    Discovery discovery{"homeassistant", "GW0000000001"};
};

TEST_F(DiscoveryTest, FirstReadingOfASensorGivesItsConfigWithTheDocumentedKeysOnce) {
    auto m = discovery.OnReading("AABBCCDDEEFF", "AT");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->topic, "homeassistant/sensor/GW0000000001_AABBCCDDEEFF_AT/config");
    EXPECT_EQ(Payload(m), json::parse(R"({
        "name": "Temperature",
        "unique_id": "GW0000000001_AABBCCDDEEFF_AT",
        "state_topic": "brelix/AABBCCDDEEFF/AT",
        "value_template": "{{ value_json.v }}",
        "device_class": "temperature",
        "unit_of_measurement": "°C",
        "state_class": "measurement",
        "availability_topic": "brelix/GW0000000001/status",
        "device": {"identifiers": ["brelix_AABBCCDDEEFF"], "name": "AABBCCDDEEFF",
                   "via_device": "brelix_GW0000000001"}})"));
    EXPECT_FALSE(discovery.OnReading("AABBCCDDEEFF", "AT"));
    EXPECT_TRUE(discovery.OnReading("AABBCCDDEEFF", "RH"));
}

TEST_F(DiscoveryTest, SecondSensorOfANodeJoinsTheNodesDeviceAndUnknownMeaningsHaveNoClass) {
    auto j = Payload(discovery.OnReading("AABBCCDDEEFF_2", "DT"));
    EXPECT_EQ(j["device"]["identifiers"], json::array({"brelix_AABBCCDDEEFF"}));
    EXPECT_EQ(j["name"], "DT 2");
    EXPECT_EQ(j["unique_id"], "GW0000000001_AABBCCDDEEFF_2_DT");
    EXPECT_EQ(j["state_topic"], "brelix/AABBCCDDEEFF_2/DT");
    EXPECT_FALSE(j.contains("device_class"));
    EXPECT_FALSE(j.contains("unit_of_measurement"));
    EXPECT_EQ(j["state_class"], "measurement");
    EXPECT_EQ(NodeOfKey("AB_x"), "AB_x");
    EXPECT_EQ(NodeOfKey("AB_"), "AB_");
    EXPECT_EQ(NodeOfKey("_1"), "_1");
}

// Cross-checks the decoder's table: a type blehub can send and Home Assistant cannot be told
// about would be a sensor that never shows up.
TEST_F(DiscoveryTest, EveryTypeBlehubDecodesHasAClassAndAValidConfig) {
    ASSERT_EQ(SensorTypes().size(), 23u);
    for (const auto& [code, type] : SensorTypes()) {
        const SensorClass* c = FindSensorClass(type);
        ASSERT_NE(c, nullptr) << type;
        // Home Assistant refuses a device class without a unit, except for pH.
        if (c->device_class && type != "PH") {
            EXPECT_NE(c->unit, nullptr) << type;
        }
        auto j = Payload(discovery.OnReading("AABBCCDDEEFF", type));
        EXPECT_EQ(j["state_topic"], "brelix/AABBCCDDEEFF/" + type);
    }
}

TEST_F(DiscoveryTest, SensorsThatCannotBeAnnouncedAreLoggedOnceAndCounted) {
    LogCapture log;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(discovery.OnReading("AABBCCDDEEFF", "XX"));
        EXPECT_FALSE(discovery.OnReading("AA BB", "AT"));
        EXPECT_FALSE(discovery.OnReading("AA.BB", "AT"));
    }
    EXPECT_EQ(discovery.Refused(), 9u);
    EXPECT_EQ(log.Count("No discovery config for"), 3u) << log.Since();
    EXPECT_TRUE(log.Contains("unknown sensor type")) << log.Since();
    EXPECT_TRUE(discovery.All().empty());
}

TEST_F(DiscoveryTest, AnnouncedSensorsAreBoundedAndAllOfThemAreSentAgain) {
    for (std::size_t i = 0; i < Discovery::kMaxEntities; ++i)
        ASSERT_TRUE(discovery.OnReading("N" + std::to_string(i), "AT"));
    LogCapture log;
    EXPECT_FALSE(discovery.OnReading("AABBCCDDEEFF", "AT"));
    EXPECT_TRUE(log.Contains("already 2048 sensors announced")) << log.Since();
    EXPECT_EQ(discovery.All().size(), Discovery::kMaxEntities);
}

TEST_F(DiscoveryTest, ConfigsOfNodesRemovedFromTheWhitelistAreClearedOthersKept) {
    const auto kept = discovery.OnReading("AABBCCDDEEFF_1", "AT");
    const auto removed = discovery.OnReading("112233445566", "PM_2_5");
    ASSERT_TRUE(kept && removed);
    // Unknown whitelist: nothing is cleared.
    EXPECT_FALSE(discovery.OnRetained(removed->topic, removed->payload));

    discovery.SetWhitelist(std::vector<std::string>{"AABBCCDDEEFF"});
    ASSERT_EQ(discovery.All().size(), 1u);
    EXPECT_EQ(discovery.All()[0].topic, kept->topic);
    EXPECT_FALSE(discovery.OnReading("112233445566", "PM_2_5"));

    auto clear = discovery.OnRetained(removed->topic, removed->payload);
    ASSERT_TRUE(clear);
    EXPECT_EQ(clear->topic, removed->topic);
    EXPECT_EQ(clear->payload, "");
    EXPECT_FALSE(discovery.OnRetained(kept->topic, kept->payload));
    EXPECT_FALSE(discovery.OnRetained(removed->topic, ""));  // already cleared
    // Another gateway's, another integration's, and one without a state topic of ours.
    const std::string other = R"({"state_topic":"brelix/112233445566/AT"})";
    EXPECT_FALSE(discovery.OnRetained("homeassistant/sensor/GW2_112233445566_AT/config", other));
    EXPECT_FALSE(discovery.OnRetained("homeassistant/sensor/lamp/config", other));
    EXPECT_FALSE(discovery.OnRetained("homeassistant/sensor/GW0000000001_X/config", "{]"));

    discovery.SetWhitelist(std::vector<std::string>{"AABBCCDDEEFF", "112233445566"});
    EXPECT_TRUE(discovery.OnReading("112233445566", "PM_2_5"));
}

}  // namespace
