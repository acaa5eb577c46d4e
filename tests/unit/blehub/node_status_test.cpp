#include "node_status.h"

#include <gtest/gtest.h>

#include "series_ring.h"

namespace {

constexpr int64_t kNow = 1'700'000'020;  // 10 s into a 30 s slot

TEST(SeriesRing, KeepsTheMeanOfEachSlotOfTheLastHourAndNullWhereNothingCame) {
    SeriesRing ring;
    ring.Add(kNow - 3600, 99);  // an hour ago: outside the window once now is reached
    ring.Add(kNow - 65, 1);
    ring.Add(kNow - 61, 3);  // the same slot: mean 2
    ring.Add(kNow, 21.3f);
    const auto json = ring.Json(kNow);
    const auto& values = json["values"];
    ASSERT_EQ(values.size(), static_cast<size_t>(SeriesRing::kSlots));
    EXPECT_EQ(json["step"], 30);
    EXPECT_EQ(json["start"], (kNow / 30 - SeriesRing::kSlots + 1) * 30);
    EXPECT_EQ(values.back(), 21.3);
    EXPECT_EQ(values[SeriesRing::kSlots - 3], 2.0);
    EXPECT_TRUE(values[SeriesRing::kSlots - 2].is_null());
    EXPECT_TRUE(values[0].is_null());  // the hour-old reading was overwritten

    // Older than the ring: dropped, the rest untouched.
    ring.Add(kNow - 4000, 50);
    EXPECT_EQ(ring.Json(kNow), json);

    // Two hours on, nothing is left in the window.
    const auto later = ring.Json(kNow + 7200);
    for (const auto& v : later["values"])
        EXPECT_TRUE(v.is_null());

    // A clock set far back starts the ring again instead of dropping everything.
    ring.Add(kNow - 86400, 7);
    EXPECT_EQ(ring.Json(kNow - 86400)["values"].back(), 7.0);
}

TEST(NodeStatus, FollowsANodeThroughItsStatesAndBoundsItsSensors) {
    NodeStatus status;
    status.Reading("n1", "n1", "TEMP", 20, kNow);  // a reading alone makes a seen node
    status.Seen("n1", -70, kNow);
    status.Connecting("n1", kNow + 1);
    status.Served("n1", kNow + 2);
    status.Served("n1", kNow + 5);  // still the first time it was served
    auto node = status.Json(kNow + 5, false)[0];
    EXPECT_EQ(node["state"], "served");
    EXPECT_EQ(node["connected_since"], kNow + 2);
    EXPECT_EQ(node["rssi"], -70);
    EXPECT_FALSE(node["sensors"][0].contains("history"));

    status.Failed("n1");
    status.Retry("n1");
    status.Seen("n1", std::nullopt, kNow + 9);
    node = status.Json(kNow + 9, true)[0];
    EXPECT_EQ(node["state"], "seen");
    EXPECT_TRUE(node["connected_since"].is_null());
    EXPECT_EQ(node["retries"], 1);
    EXPECT_EQ(node["last_seen"], kNow + 9);
    EXPECT_EQ(node["sensors"][0]["history"]["values"].back(), 20.0);

    for (int i = 0; i < 40; ++i)
        status.Reading("n1", "n1_" + std::to_string(i), "TEMP", i, kNow);
    EXPECT_EQ(status.Json(kNow, false)[0]["sensors"].size(), NodeStatus::kMaxSensors);
    status.Failed("unknown");  // no record made for a node never met
    EXPECT_EQ(status.Ids().size(), 1u);
}

}  // namespace
