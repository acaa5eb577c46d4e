#include "channel_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "messages.h"

using nlohmann::json;
using testing_support::LogCapture;

namespace {

constexpr const char* kDevice = "AABBCCDDEEFF";

class ChannelProtocolTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("wsbridge_test.log"); }

    // A channel message on the device's sensor channel.
    static std::string Sensor(const std::string& message) {
        return R"({"identifier":)" +
               json(channel::Identifier(channel::kSensorChannel, kDevice)).dump() +
               R"(,"message":)" + message + "}";
    }

    // The event text relayed for a frame, with its code; "" when nothing is.
    static std::string Relayed(const std::string& frame, int32_t* code = nullptr) {
        const auto relay = channel::ParseFrame(frame);
        if (!relay)
            return std::string();
        if (code)
            *code = relay->code;
        return relay->event.dump();
    }
};

TEST_F(ChannelProtocolTest, FoldsAreRelayedFirstKeyWinningFractionsCutTowardsZero) {
    int32_t code = 0;
    EXPECT_EQ(Relayed(Sensor(R"({"folds":[{"key":"a","fold":1},{"key":"a","fold":2},
        {"key":"b","fold":2.7},{"key":"c","fold":-2.7},{"key":"d","fold":2147483647},
        {"key":"e","fold":-2147483648}]})"),
                      &code),
              R"({"device_id":"AABBCCDDEEFF","folds":{"a":1,"b":2,"c":-2,"d":2147483647,)"
              R"("e":-2147483648},"type":"folds"})");
    EXPECT_EQ(code, kSensorFolds);
    EXPECT_EQ(Relayed(Sensor(R"({"folds":[]})")),
              R"({"device_id":"AABBCCDDEEFF","folds":{},"type":"folds"})");
}

TEST_F(ChannelProtocolTest, SensorSwitchIsRelayedAsBeaconAndFoldsWinOverIt) {
    int32_t code = 0;
    EXPECT_EQ(Relayed(Sensor(R"({"sensor":{"ble_enabled":false,"other":1}})"), &code),
              R"({"beacon":false,"device_id":"AABBCCDDEEFF","type":"beacon"})");
    EXPECT_EQ(code, kSensorBeacon);
    EXPECT_EQ(
        Relayed(Sensor(R"({"sensor":{"ble_enabled":true},"folds":[{"key":"k","fold":5}]})"), &code),
        R"({"device_id":"AABBCCDDEEFF","folds":{"k":5},"type":"folds"})");
    EXPECT_EQ(code, kSensorFolds);
}

TEST_F(ChannelProtocolTest, ControlFramesOtherChannelsAndOtherMessagesAreQuietlyIgnored) {
    LogCapture log;
    const std::string gateway = json(channel::Identifier(channel::kGatewayChannel, kDevice)).dump();
    for (const std::string& frame : std::vector<std::string>{
             R"({"type":"ping","message":1700000000})",
             R"({"type":"welcome"})",
             R"({"identifier":"{}","type":"confirm_subscription"})",
             R"({"identifier":)" + gateway + R"(,"message":{"sensor":{"ble_enabled":true}}})",
             Sensor(R"({"other":1})"),
             R"({"message":{"folds":[]}})",
         }) {
        EXPECT_EQ(Relayed(frame), "") << frame;
    }
    EXPECT_EQ(Relayed(R"({"identifier":"x","type":"reject_subscription"})"), "");
    EXPECT_EQ(log.Count(" ERROR "), 0u);
    EXPECT_EQ(log.Count("Subscription rejected : \"x\""), 1u);
}

TEST_F(ChannelProtocolTest, EveryUnusableFrameIsOneErrorLineAndRelaysNothing) {
    const std::vector<std::string> frames = {
        "not json",
        "[1]",
        R"({"identifier":1,"message":{}})",
        R"({"identifier":"nope","message":{}})",
        R"({"identifier":"[]","message":{}})",
        R"({"identifier":"{\"device_id\":\"X\"}","message":{}})",
        R"({"identifier":"{\"channel\":\"SensorChannel\"}","message":{"folds":[]}})",
        R"({"identifier":"{\"channel\":\"SensorChannel\",\"device_id\":7}","message":{}})",
        Sensor("[]"),
        Sensor(R"("folds")"),
        Sensor(R"({"folds":{"a":1}})"),
        Sensor(R"({"folds":[1]})"),
        Sensor(R"({"folds":[{"fold":1}]})"),
        Sensor(R"({"folds":[{"key":1,"fold":1}]})"),
        Sensor(R"({"folds":[{"key":"a"}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":"1"}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":null}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":2147483648}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":-2147483649}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":18446744073709551615}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":1e12}]})"),
        Sensor(R"({"folds":[{"key":"a","fold":1},{"key":"b","fold":true}]})"),
        Sensor(R"({"sensor":true})"),
        Sensor(R"({"sensor":{}})"),
        Sensor(R"({"sensor":{"ble_enabled":1}})"),
        // Printing this identifier would recurse a million levels deep.
        R"({"type":"ping","identifier":)" + std::string(1000000, '[') + std::string(1000000, ']') +
            "}",
    };
    for (const auto& frame : frames) {
        LogCapture log;
        EXPECT_EQ(Relayed(frame), "") << frame;
        EXPECT_EQ(log.Count("Frame dropped, "), 1u) << frame;
    }
}

TEST_F(ChannelProtocolTest, SubscriptionRequestsFromTheHub) {
    auto request = channel::ParseSubscription(
        R"({"device_id":"AABBCCDDEEFF","device_type":"sensor","type":"subscribe"})");
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->subscribe);
    EXPECT_EQ(request->deviceId, kDevice);
    request = channel::ParseSubscription(
        R"({"device_id":"AABBCCDDEEFF","device_type":"sensor","type":"unsubscribe"})");
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->subscribe);

    LogCapture quiet;
    // Our own relays come back on the same event name; other types are not ours either.
    EXPECT_FALSE(channel::ParseSubscription(R"({"device_id":"A","folds":{},"type":"folds"})"));
    EXPECT_FALSE(channel::ParseSubscription(R"({"device_id":"A","device_type":"s","type":"x"})"));
    EXPECT_FALSE(channel::ParseSubscription(nullptr));
    EXPECT_EQ(quiet.Count(" ERROR "), 0u);

    for (const char* bad : {"nope", "[]", R"({"device_id":"A","device_type":"s","type":1})",
                            R"({"device_id":5,"device_type":"s","type":"subscribe"})",
                            R"({"device_id":"","device_type":"s","type":"subscribe"})"}) {
        LogCapture log;
        EXPECT_FALSE(channel::ParseSubscription(bad)) << bad;
        EXPECT_EQ(log.Count("Websocket event dropped, "), 1u) << bad;
    }
}

TEST_F(ChannelProtocolTest, CommandsCarryTheIdentifierAsCompactText) {
    EXPECT_EQ(channel::Subscribe(channel::kSensorChannel, kDevice),
              R"({"command":"subscribe","identifier":"{\"channel\":\"SensorChannel\",)"
              R"(\"device_id\":\"AABBCCDDEEFF\"}"})");
    EXPECT_EQ(channel::Unsubscribe(channel::kGatewayChannel, "GW1"),
              R"({"command":"unsubscribe","identifier":"{\"channel\":\"GatewayChannel\",)"
              R"(\"device_id\":\"GW1\"}"})");
}

TEST_F(ChannelProtocolTest, CableUriTakesTheUrlsHostAndPortAndEncodesTheToken) {
    EXPECT_EQ(channel::CableUri("https://cloud.example.com", "tok"),
              "wss://cloud.example.com/cable?access_token=tok");
    EXPECT_EQ(channel::CableUri("https://user:pw@127.0.0.1:8443/api/v1?x=1#top", "a b&c=d/%"),
              "wss://127.0.0.1:8443/cable?access_token=a%20b%26c%3Dd%2F%25");
    // A url without its scheme is a host name, with its port when it has one.
    EXPECT_EQ(channel::CableUri("cloud.example.com:8443", "tok"),
              "wss://cloud.example.com:8443/cable?access_token=tok");
    for (const char* unusable : {"https://", "https://bad host/", "https://:443", "https://a\"b"}) {
        EXPECT_EQ(channel::CableUri(unusable, "tok"), "") << unusable;
    }
}

}  // namespace
