#include "data_queue.h"

#include <gtest/gtest.h>

#include "log_capture.h"

using nlohmann::json;
using testing_support::LogCapture;

namespace {

json Sample(const std::string& k, json ts, int v = 1) {
    return json{{"k", k}, {"ts", ts}, {"v", v}};
}

class DataQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("reportd_test.log"); }

    std::vector<uint32_t> Kept(const DataQueue& q) {
        std::vector<uint32_t> ts;
        for (const auto& s : q.queue)
            ts.push_back(json::parse(s.text)["ts"].get<uint32_t>());
        return ts;
    }
};

TEST_F(DataQueueTest, RateLimitKeepsOneSamplePerSixtyUnits) {
    DataQueue q("AT");
    LogCapture log;
    EXPECT_TRUE(q.UpdateQueue(Sample("AT", 1000), 1));
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", 1030), 2));
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", 1059), 3));
    EXPECT_TRUE(q.UpdateQueue(Sample("AT", 1060), 4));
    EXPECT_EQ(Kept(q), (std::vector<uint32_t>{1000, 1060}));
    EXPECT_EQ(q.last_ts, 1060u);
    EXPECT_TRUE(log.Contains("delta 60\n")) << log.Since();
}

TEST_F(DataQueueTest, FirstSampleNeedsTsOfSixtyOrMore) {
    DataQueue early("RH");
    EXPECT_FALSE(early.UpdateQueue(Sample("RH", 59), 1));
    EXPECT_EQ(early.last_ts, 0u);
    DataQueue q("RH");
    EXPECT_TRUE(q.UpdateQueue(Sample("RH", 60), 1));
}

TEST_F(DataQueueTest, SoundAndFallKeepEverySample) {
    for (const char* kind : {"SD", "FA"}) {
        DataQueue q(kind);
        EXPECT_TRUE(q.UpdateQueue(Sample(kind, 5000), 1));
        EXPECT_TRUE(q.UpdateQueue(Sample(kind, 5000), 2));
        EXPECT_TRUE(q.UpdateQueue(Sample(kind, 5001), 3));
        EXPECT_EQ(q.queue.size(), 3u) << kind;
    }
}

TEST_F(DataQueueTest, TsGoingBackwardsIsKept) {
    DataQueue q("AT");
    ASSERT_TRUE(q.UpdateQueue(Sample("AT", 2000), 1));
    EXPECT_TRUE(q.UpdateQueue(Sample("AT", 1000), 2));
    EXPECT_EQ(q.last_ts, 1000u);
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", 1030), 3));
}

TEST_F(DataQueueTest, BadSamplesAreDroppedWithAnErrorAndChangeNothing) {
    DataQueue q("AT");
    ASSERT_TRUE(q.UpdateQueue(Sample("AT", 1000), 1));
    LogCapture log;
    EXPECT_FALSE(q.UpdateQueue(json{{"k", "AT"}, {"v", 1}}, 2));
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", "2000"), 3));
    EXPECT_FALSE(q.UpdateQueue(json{{"ts", 3000}}, 4));
    json big = Sample("AT", 4000);
    big["v"] = std::string(2000, 'x');
    EXPECT_FALSE(q.UpdateQueue(big, 5));
    // No 32-bit time: converting these would be undefined.
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", 1e30), 6));
    EXPECT_FALSE(q.UpdateQueue(Sample("AT", -5000.5), 7));
    EXPECT_EQ(q.queue.size(), 1u);
    EXPECT_EQ(q.last_ts, 1000u);
    EXPECT_EQ(log.Count("ERROR"), 6u) << log.Since();
}

}  // namespace
