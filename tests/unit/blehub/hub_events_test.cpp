#include "hub_events.h"

#include <gtest/gtest.h>

#include "messages.h"

namespace {

using namespace hub_events;

TEST(WebsocketEvent, BeaconBecomesABeaconCommand) {
    auto message =
        ParseWebsocketEvent(R"({"beacon":true,"device_id":"AABBCCDDEEFF","type":"beacon"})");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->code, kSensorBeacon);
    ASSERT_NE(message->As<BeaconCommand>(), nullptr);
    EXPECT_EQ(message->As<BeaconCommand>()->deviceId, "AABBCCDDEEFF");
    EXPECT_TRUE(message->As<BeaconCommand>()->on);

    auto off =
        ParseWebsocketEvent(R"({"beacon":false,"device_id":"AABBCCDDEEFF","type":"beacon"})");
    ASSERT_TRUE(off);
    EXPECT_FALSE(off->As<BeaconCommand>()->on);
}

TEST(WebsocketEvent, FoldsBecomeAFoldsCommand) {
    auto message = ParseWebsocketEvent(
        R"({"device_id":"AABBCCDDEEFF","folds":{"pm":3,"temp":-2},"type":"folds"})");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->code, kSensorFolds);
    const auto* command = message->As<FoldsCommand>();
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->deviceId, "AABBCCDDEEFF");
    EXPECT_EQ(command->folds, (std::map<std::string, int>{{"pm", 3}, {"temp", -2}}));
}

TEST(WebsocketEvent, OtherTypesAndNoTypeAreIgnored) {
    // blehub hears its own subscription requests on the same event.
    EXPECT_FALSE(ParseWebsocketEvent(
        R"({"device_id":"AABBCCDDEEFF","device_type":"sensor","type":"subscribe"})"));
    EXPECT_FALSE(ParseWebsocketEvent(R"({"beacon":true,"device_id":"AABBCCDDEEFF"})"));
    EXPECT_FALSE(ParseWebsocketEvent(R"({"type":7})"));
}

TEST(WebsocketEvent, MalformedEventsAreDroppedWithoutThrowing) {
    const char* bad[] = {
        "",
        "not json",
        "[1,2]",
        R"({"type":"beacon","beacon":true})",                                // no device
        R"({"type":"beacon","device_id":42,"beacon":true})",                 // id not a text
        R"({"type":"beacon","device_id":"AABBCCDDEEFF"})",                   // no flag
        R"({"type":"beacon","device_id":"AABBCCDDEEFF","beacon":"yes"})",    // flag a text
        R"({"type":"folds","device_id":"AABBCCDDEEFF"})",                    // no folds
        R"({"type":"folds","device_id":"AABBCCDDEEFF","folds":[1]})",        // not an object
        R"({"type":"folds","device_id":"AABBCCDDEEFF","folds":{"a":"1"}})",  // not a number
        R"({"type":"folds","device_id":"AABBCCDDEEFF","folds":{"a":1.5}})",  // not an integer
    };
    for (const char* text : bad) {
        EXPECT_NO_THROW(EXPECT_FALSE(ParseWebsocketEvent(text)) << text);
    }
    EXPECT_FALSE(ParseWebsocketEvent(nullptr));
}

TEST(ManagerEvent, ReadAndDropped) {
    EXPECT_TRUE(ParseManagerEvent(R"({"evt":{"wlan":"up","internet":"down"}})"));
    EXPECT_FALSE(ParseManagerEvent("{"));
    EXPECT_FALSE(ParseManagerEvent(R"({"wlan":"up"})"));
    EXPECT_FALSE(ParseManagerEvent(R"({"evt":"up"})"));
    EXPECT_FALSE(ParseManagerEvent(nullptr));
}

TEST(Subscription, PayloadIsCompactWithSortedKeys) {
    EXPECT_EQ(SubscriptionPayload(true, "AABBCCDDEEFF"),
              R"({"device_id":"AABBCCDDEEFF","device_type":"sensor","type":"subscribe"})");
    EXPECT_EQ(SubscriptionPayload(false, "AABBCCDDEEFF"),
              R"({"device_id":"AABBCCDDEEFF","device_type":"sensor","type":"unsubscribe"})");
}

TEST(DeviceIdFromName, LastTwelveCharactersOfANameOfAtLeastThirteen) {
    EXPECT_EQ(DeviceIdFromName("PMS-AABBCCDDEEFF"), "AABBCCDDEEFF");
    EXPECT_EQ(DeviceIdFromName("XAABBCCDDEEFF"), "AABBCCDDEEFF");
    EXPECT_FALSE(DeviceIdFromName("AABBCCDDEEFF"));
    EXPECT_FALSE(DeviceIdFromName(""));
}

}  // namespace
