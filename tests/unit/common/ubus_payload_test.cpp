#include "ubus_payload.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

using ubus::payload::CompactObject;

TEST(UbusPayload, RepeatedNamesKeepTheirFirstPlaceAndLastValue) {
    std::string out;
    ASSERT_TRUE(CompactObject(R"( {"b":1, "a":{"x":[1, {"y":2,"y":3}]}, "b":"two"} )", out));
    EXPECT_EQ(out, R"({"b":"two","a":{"x":[1,{"y":3}]}})");
    for (const char* bad :
         {"[1]", "\"x\"", "12", "{\"a\":1", "{\"a\":1}x", "", "{\"a\":\"\\ud800\"}"})
        EXPECT_FALSE(CompactObject(bad, out)) << bad;
}

TEST(UbusPayload, TheBoundIsUbusdsMessageSize) {
    const auto sized = [](std::size_t bytes) {
        return "{\"s\":\"" + std::string(bytes - 8, 'x') + "\"}";
    };
    std::string out;
    EXPECT_TRUE(CompactObject(sized(ubus::payload::kMaxBytes).c_str(), out));
    EXPECT_EQ(out.size(), ubus::payload::kMaxBytes);
    EXPECT_FALSE(CompactObject(sized(ubus::payload::kMaxBytes + 1).c_str(), out));
}

// An ordered DOM took 13 CPU seconds for this (each name looked up in a list).
TEST(UbusPayload, ManyMembersTakeLinearTime) {
    std::string text = "{";
    char member[16];
    for (int i = 0; i < 100000; ++i) {
        std::snprintf(member, sizeof member, "%s\"%x\":0", i ? "," : "", i);
        text += member;
    }
    text += "}";
    ASSERT_LE(text.size(), ubus::payload::kMaxBytes);
    std::string out;
    const std::clock_t start = std::clock();
    ASSERT_TRUE(CompactObject(text.c_str(), out));
    const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    EXPECT_EQ(out, text);
    EXPECT_LT(seconds, 1.5);
}

}  // namespace
