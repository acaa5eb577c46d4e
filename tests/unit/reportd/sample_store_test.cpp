#include "sample_store.h"

#include <gtest/gtest.h>

#include "active_nodes.h"
#include "log_capture.h"

using nlohmann::json;
using testing_support::LogCapture;

namespace {

json Sample(const std::string& k, uint32_t ts, json v = 1) {
    return json{{"k", k}, {"ts", ts}, {"v", v}};
}

// The samples of a body as (id, k, ts), in body order.
std::vector<std::tuple<std::string, std::string, uint32_t>> Samples(const std::string& body) {
    std::vector<std::tuple<std::string, std::string, uint32_t>> out;
    const json doc = json::parse(body);
    for (const auto& node : doc.at("nodes")) {
        for (const auto& s : node.at("vs")) {
            out.emplace_back(node.at("id"), s.at("k"), s.at("ts"));
        }
    }
    return out;
}

class SampleStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("reportd_test.log"); }
};

TEST_F(SampleStoreTest, BodyGroupsByDeviceQueueByQueueCompactAndSorted) {
    SampleStore store(100);
    store.Add("AABBCCDDEEFF", "AT", json::parse(R"({"v":21.5,"ts":1000,"k":"AT"})"));
    store.Add("AABBCCDDEEFF", "SD", Sample("SD", 1001, 70));
    store.Add("112233445566", "RH", Sample("RH", 1002, 40));
    store.Add("AABBCCDDEEFF", "AT", Sample("AT", 1060, 22));
    store.Add("AABBCCDDEEFF", "SD", Sample("SD", 1003, 71));

    ReportBatch batch = store.Collect(100, 64 * 1024);
    const std::string body = batch.Body();
    EXPECT_EQ(body, R"({"nodes":[{"id":"AABBCCDDEEFF","vs":[{"k":"AT","ts":1000,"v":21.5},)"
                    R"({"k":"AT","ts":1060,"v":22},{"k":"SD","ts":1001,"v":70},)"
                    R"({"k":"SD","ts":1003,"v":71}]},)"
                    R"({"id":"112233445566","vs":[{"k":"RH","ts":1002,"v":40}]}]})");
    EXPECT_EQ(json::parse(body).dump(), body);  // compact, keys sorted
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_TRUE(store.Collect(100, 64 * 1024).Empty());
}

TEST_F(SampleStoreTest, NonAsciiTextIsWrittenAsItIs) {
    SampleStore store(10);
    store.Add("Küche", "SD", json{{"k", "SD"}, {"ts", 1}, {"v", "°C"}});
    EXPECT_EQ(store.Collect(10, 1024).Body(),
              "{\"nodes\":[{\"id\":\"Küche\",\"vs\":[{\"k\":\"SD\",\"ts\":1,\"v\":\"°C\"}]}]}");
}

TEST_F(SampleStoreTest, BoundDropsOldestAcrossQueuesAndCountsThem) {
    SampleStore store(3);
    store.Add("A", "SD", Sample("SD", 1));
    store.Add("B", "SD", Sample("SD", 2));
    store.Add("A", "FA", Sample("FA", 3));
    EXPECT_EQ(store.TakeDropped(), 0u);
    store.Add("B", "SD", Sample("SD", 4));
    store.Add("A", "SD", Sample("SD", 5));
    EXPECT_EQ(store.Size(), 3u);
    EXPECT_EQ(store.TakeDropped(), 2u);
    EXPECT_EQ(store.TakeDropped(), 0u);

    std::vector<uint32_t> ts;
    for (const auto& s : Samples(store.Collect(10, 1 << 20).Body()))
        ts.push_back(std::get<2>(s));
    std::sort(ts.begin(), ts.end());
    EXPECT_EQ(ts, (std::vector<uint32_t>{3, 4, 5}));
}

TEST_F(SampleStoreTest, MadeUpIdsPushOutTheLongestSilentQueueWithItsSamples) {
    SampleStore store(100, 3);
    store.Add("A", "SD", Sample("SD", 1));
    store.Add("B", "SD", Sample("SD", 2));
    store.Add("A", "FA", Sample("FA", 3));
    store.Add("B", "SD", Sample("SD", 4));   // B heard again: A's SD is now the longest silent
    auto inFlight = store.Collect(1, 4096);  // A SD 1, its POST under way
    store.Add("X1", "SD", Sample("SD", 5));
    EXPECT_EQ(store.TakeDroppedQueues(), 1u);
    for (int i = 0; i < 50; ++i)
        store.Add("FAKE" + std::to_string(i), "SD", Sample("SD", 100 + i));
    EXPECT_EQ(store.TakeDroppedQueues(), 50u);
    // The POST failed: its queue is gone, so the sample is counted, not lost in a dead queue.
    store.Restore(std::move(inFlight));
    EXPECT_EQ(store.Size(), 3u);
    // A FA 3, B SD 2 and 4, X1 and FAKE0..46 with their queues, A SD 1 on its way back.
    EXPECT_EQ(store.TakeDropped(), 1u + 2u + 48u + 1u);
    EXPECT_EQ(Samples(store.Collect(100, 4096).Body()),
              (std::vector<std::tuple<std::string, std::string, uint32_t>>{
                  {"FAKE47", "SD", 147}, {"FAKE48", "SD", 148}, {"FAKE49", "SD", 149}}));
}

TEST_F(SampleStoreTest, HeardDevicesAreBoundedOldestOut) {
    ActiveNodes active(3);
    for (const char* id : {"A", "B", "A", "C", "D", "E"})
        active.Add(id);
    EXPECT_EQ(active.TakeDropped(), 2u);
    const auto ids = active.Take();
    EXPECT_EQ(ActiveNodes::Body(ids), R"(["C","D","E"])");
    active.Add("F");
    active.Restore(ids);  // a failed POST's ids go back in front, still within the bound
    EXPECT_EQ(ActiveNodes::Body(active.Take()), R"(["D","E","F"])");
    EXPECT_EQ(active.TakeDropped(), 1u);
}

TEST_F(SampleStoreTest, CollectTakesOldestFirstWithinTheSampleLimit) {
    SampleStore store(100);
    for (uint32_t i = 0; i < 10; ++i)
        store.Add(i % 2 ? "A" : "B", "SD", Sample("SD", i));
    auto first = Samples(store.Collect(4, 1 << 20).Body());
    ASSERT_EQ(first.size(), 4u);
    std::vector<uint32_t> ts;
    for (const auto& s : first)
        ts.push_back(std::get<2>(s));
    std::sort(ts.begin(), ts.end());
    EXPECT_EQ(ts, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(store.Size(), 6u);
}

TEST_F(SampleStoreTest, BodySizeStaysWithinTheByteLimit) {
    SampleStore store(100000);
    for (uint32_t i = 0; i < 20000; ++i) {
        store.Add("DEV" + std::to_string(i % 37), "SD", Sample("SD", i, 123456789));
    }
    const std::size_t limit = 4096;
    std::size_t total = 0, bodies = 0;
    while (true) {
        ReportBatch batch = store.Collect(100000, limit);
        if (batch.Empty())
            break;
        const std::string body = batch.Body();
        EXPECT_LE(body.size(), limit);
        EXPECT_GT(body.size(), limit / 2);  // bodies are filled, not cut short
        total += Samples(body).size();
        ++bodies;
    }
    EXPECT_EQ(total, 20000u);
    EXPECT_GT(bodies, 20000u * 40 / limit);
}

TEST_F(SampleStoreTest, OneSampleLargerThanTheByteLimitStillGoesAlone) {
    SampleStore store(10);
    store.Add("A", "SD", Sample("SD", 1, std::string(500, 'x')));
    store.Add("A", "SD", Sample("SD", 2));
    EXPECT_EQ(store.Collect(10, 100).Size(), 1u);
    EXPECT_EQ(store.Collect(10, 100).Size(), 1u);
}

TEST_F(SampleStoreTest, RestoredBatchComesBeforeNewerSamples) {
    SampleStore store(100);
    store.Add("A", "SD", Sample("SD", 1));
    store.Add("A", "SD", Sample("SD", 2));
    store.Add("B", "SD", Sample("SD", 3));
    ReportBatch batch = store.Collect(100, 1 << 20);
    store.Add("A", "SD", Sample("SD", 4));
    store.Add("B", "SD", Sample("SD", 5));
    store.Restore(std::move(batch));
    EXPECT_EQ(store.Size(), 5u);

    // Oldest first: the restored three fill a body of three before the newer two.
    std::vector<uint32_t> ts;
    for (const auto& s : Samples(store.Collect(3, 1 << 20).Body()))
        ts.push_back(std::get<2>(s));
    std::sort(ts.begin(), ts.end());
    EXPECT_EQ(ts, (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(SampleStoreTest, RestoreRespectsTheBound) {
    SampleStore store(3);
    store.Add("A", "SD", Sample("SD", 1));
    store.Add("A", "SD", Sample("SD", 2));
    ReportBatch batch = store.Collect(10, 1 << 20);
    store.Add("A", "SD", Sample("SD", 3));
    store.Add("A", "SD", Sample("SD", 4));
    store.Restore(std::move(batch));
    EXPECT_EQ(store.Size(), 3u);
    EXPECT_EQ(store.TakeDropped(), 1u);
    std::vector<uint32_t> ts;
    for (const auto& s : Samples(store.Collect(10, 1 << 20).Body()))
        ts.push_back(std::get<2>(s));
    EXPECT_EQ(ts, (std::vector<uint32_t>{2, 3, 4}));
}

TEST_F(SampleStoreTest, RateLimitStateSurvivesCollection) {
    SampleStore store(10);
    store.Add("A", "AT", Sample("AT", 1000));
    store.Collect(10, 1 << 20);
    EXPECT_FALSE(store.Add("A", "AT", Sample("AT", 1030)));
    EXPECT_TRUE(store.Add("A", "AT", Sample("AT", 1060)));
}

TEST(ActiveNodesTest, HeartbeatBodyListsEachDeviceOnceInArrivalOrder) {
    ActiveNodes nodes;
    EXPECT_EQ(ActiveNodes::Body(nodes.Take()), "[]");
    nodes.Add("B");
    nodes.Add("A");
    EXPECT_EQ(nodes.Add("B"), 2u);
    EXPECT_EQ(ActiveNodes::Body(nodes.Take()), R"(["B","A"])");
    EXPECT_EQ(ActiveNodes::Body(nodes.Take()), "[]");
}

TEST(ActiveNodesTest, RestoredIdsComeFirstWithoutDuplicates) {
    ActiveNodes nodes;
    nodes.Add("A");
    nodes.Add("B");
    auto failed = nodes.Take();
    nodes.Add("C");
    nodes.Add("A");
    nodes.Restore(failed);
    EXPECT_EQ(ActiveNodes::Body(nodes.Take()), R"(["A","B","C"])");
}

}  // namespace

namespace {

// The status's age comes from the sample that arrived first, whatever the nodes' clocks say.
TEST_F(SampleStoreTest, OldestTsIsThatOfTheFirstArrivalStillKept) {
    SampleStore store(100);
    EXPECT_EQ(store.OldestTs(), 0);
    store.Add("AABBCCDDEEFF", "SD", Sample("SD", 5000));
    store.Add("112233445566", "SD", Sample("SD", 4000));  // a node whose clock is behind
    EXPECT_EQ(store.OldestTs(), 5000);
    ReportBatch first = store.Collect(1, 64 * 1024);
    EXPECT_EQ(store.OldestTs(), 4000);
    store.Restore(std::move(first));
    EXPECT_EQ(store.OldestTs(), 5000);
    store.Collect(100, 64 * 1024);
    EXPECT_EQ(store.OldestTs(), 0);
}

}  // namespace
