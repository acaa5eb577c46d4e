#include "ubus_payload.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// An ordered DOM took 13 CPU seconds for 100,000 members (each name looked up in a list).
// Five times the members must cost about five times the time, not twenty-five: a ratio
// holds on a loaded machine and under sanitizers, where a fixed bound does not.
TEST(UbusPayload, ManyMembersTakeLinearTime) {
    const auto object = [](int members) {
        std::string text = "{";
        char member[16];
        for (int i = 0; i < members; ++i) {
            std::snprintf(member, sizeof member, "%s\"%x\":0", i ? "," : "", i);
            text += member;
        }
        return text + "}";
    };
    const auto fastest = [](const std::string& text) {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            std::string out;
            const std::clock_t start = std::clock();
            EXPECT_TRUE(CompactObject(text.c_str(), out));
            best = std::min(best, double(std::clock() - start) / CLOCKS_PER_SEC);
            EXPECT_EQ(out, text);
        }
        return best;
    };
    const std::string small = object(20000), large = object(100000);
    ASSERT_LE(large.size(), ubus::payload::kMaxBytes);
    const double smallSeconds = fastest(small), largeSeconds = fastest(large);
    EXPECT_LT(largeSeconds, 12 * smallSeconds + 0.02) << smallSeconds << " s for a fifth";
}

}  // namespace
