#include "reporter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>

#include "log_capture.h"
#include "paths.h"
#include "wait_for.h"

using nlohmann::json;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

// Stands in for the cloud: records every POST and answers with the next code queued for its
// path (200 when none is queued).
class FakeCloud {
  public:
    struct Request {
        std::string path;
        std::string body;
        std::string key;  // its Idempotency-Key
    };

    PostFn Post() {
        return [this](const std::string& url, const std::vector<std::string>& headers,
                      const std::string& body) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string path = url.substr(url.rfind('/'));
            std::string key;
            for (const auto& h : headers) {
                if (h.rfind("Idempotency-Key: ", 0) == 0)
                    key = h.substr(17);
            }
            requests_.push_back({path, body, key});
            int code = 200;
            auto& codes = answers_[path];
            if (!codes.empty()) {
                code = codes.front();
                codes.erase(codes.begin());
            }
            return http::Response{code, code == 200 ? "ok" : "nope"};
        };
    }

    void Answer(const std::string& path, std::vector<int> codes) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[path] = std::move(codes);
    }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    std::vector<Request> Of(const std::string& path) {
        std::vector<Request> out;
        for (auto& r : Requests()) {
            if (r.path == path)
                out.push_back(r);
        }
        return out;
    }

  private:
    std::mutex mutex_;
    std::vector<Request> requests_;
    std::map<std::string, std::vector<int>> answers_;
};

std::string SensorEventText(const std::string& id, const std::string& type, uint32_t ts,
                            int v = 1) {
    return json{{"device_id", id}, {"sensor_type", type}, {"data", {{"ts", ts}, {"v", v}}}}.dump();
}

// (id, k, ts) of every sample in report bodies, in order.
std::vector<std::tuple<std::string, std::string, uint32_t>> Samples(
    const std::vector<FakeCloud::Request>& reports) {
    std::vector<std::tuple<std::string, std::string, uint32_t>> out;
    for (const auto& r : reports) {
        const json doc = json::parse(r.body);
        for (const auto& node : doc.at("nodes")) {
            for (const auto& s : node.at("vs"))
                out.emplace_back(node.at("id"), s.at("k"), s.at("ts"));
        }
    }
    return out;
}

class ReporterTest : public ::testing::Test {
  protected:
    static constexpr auto kInterval = std::chrono::seconds(30);

    void SetUp() override {
        LogCapture::Init("reportd_test.log");
        // The RAM tier of the journal lives as long as the run folder: start without one.
        std::filesystem::remove_all(paths::TmpDir() + "/reportd");
    }

    void Start(int maxSamples = 20000, const std::string& storeDir = std::string()) {
        auto nvram = std::make_unique<NVRAM>();
        nvram->url = "https://cloud.test";
        nvram->access_token = "secret";
        nvram->device_id = "GW1";
        nvram->max_samples = maxSamples;
        nvram->store_dir = storeDir;
        reporter = std::make_unique<Reporter>(std::move(nvram), time, cloud.Post());
        ASSERT_TRUE(WaitFor([&] { return reporter->Passes() == 1; }));  // the one at start
    }

    void Sensor(const std::string& text) {
        reporter->UBUSSensorHandler(text.c_str());
        Drain();
    }
    void Manager(const std::string& text) {
        reporter->UBUSManagerHandler(text.c_str());
        Drain();
    }
    void Drain() {
        while (reporter->MessageHandler()) {
        }
    }
    // The internet comes up; returns once the pass this makes at once has ended.
    void InternetUp() {
        const uint64_t before = reporter->Passes();
        Manager(R"({"evt":{"internet":"up"}})");
        ASSERT_TRUE(WaitFor([&] { return reporter->Passes() > before; }));
    }
    // Steps the clock by one period and waits for the pass it starts.
    void Pass() {
        const uint64_t before = reporter->Passes();
        time.Advance(kInterval);
        ASSERT_TRUE(WaitFor([&] { return reporter->Passes() > before; }));
    }

    timer::ManualTime time;
    FakeCloud cloud;
    std::unique_ptr<Reporter> reporter;
};

TEST_F(ReporterTest, InternetDownSendsAndDrainsNothing) {
    Start();
    Sensor(SensorEventText("A", "SD", 100));
    Pass();
    Pass();
    EXPECT_TRUE(cloud.Requests().empty());
    EXPECT_EQ(reporter->KeptSamples(), 1u);
}

TEST_F(ReporterTest, InternetUpSendsEverySampleThenTheHeartbeatAtOnce) {
    Start();
    Sensor(SensorEventText("A", "SD", 100));
    Sensor(SensorEventText("B", "AT", 1000));
    Sensor(SensorEventText("B", "AT", 1030));  // rate-limited away
    Sensor(SensorEventText("A", "SD", 100));
    Pass();
    ASSERT_TRUE(cloud.Requests().empty());

    // No step of the clock: the pass comes with the news.
    InternetUp();
    EXPECT_TRUE(reporter->InternetUp());
    auto requests = cloud.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/report");
    EXPECT_EQ(requests[1].path, "/hb");
    auto samples = Samples({requests[0]});
    std::sort(samples.begin(), samples.end());
    EXPECT_EQ(samples, (std::vector<std::tuple<std::string, std::string, uint32_t>>{
                           {"A", "SD", 100}, {"A", "SD", 100}, {"B", "AT", 1000}}));
    EXPECT_EQ(requests[1].body, R"(["A","B"])");
    EXPECT_EQ(reporter->KeptSamples(), 0u);
}

TEST_F(ReporterTest, TheSampleCarriesItsTypeAsKWhateverTheReadingSaid) {
    Start();
    InternetUp();
    Sensor(R"({"device_id":"A","sensor_type":"SD","data":{"k":"FA","ts":7,"v":1}})");
    Sensor(R"({"device_id":"A","sensor_type":"RH","data":{"ts":900,"v":40.5}})");
    Pass();
    const auto reports = cloud.Of("/report");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(
        reports[0].body,
        R"({"nodes":[{"id":"A","vs":[{"k":"SD","ts":7,"v":1},{"k":"RH","ts":900,"v":40.5}]}]})");
}

TEST_F(ReporterTest, WithNothingHeardOnlyAnEmptyHeartbeatIsSent) {
    Start();
    InternetUp();
    auto requests = cloud.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/hb");
    EXPECT_EQ(requests[0].body, "[]");
}

TEST_F(ReporterTest, WlanStateAloneNeverStartsSending) {
    Start();
    Manager(R"({"evt":{"wlan":"up"}})");
    EXPECT_FALSE(reporter->InternetUp());
    Pass();
    EXPECT_TRUE(cloud.Requests().empty());

    InternetUp();
    Manager(R"({"evt":{"wlan":"down"}})");
    EXPECT_FALSE(reporter->InternetUp());
    InternetUp();
    Manager(R"({"evt":{"internet":"down"}})");
    EXPECT_FALSE(reporter->InternetUp());
    const std::size_t sent = cloud.Requests().size();
    Pass();
    EXPECT_EQ(cloud.Requests().size(), sent);
}

TEST_F(ReporterTest, SamplesOfAFailedPostAreSentAgainOnceAndInOrder) {
    Start();
    InternetUp();
    // No answer, the server's trouble, a token or path problem, a proxy's page: kept.
    for (int code : {500, 503, 401, 403, 404, 405, 408, 410, 429, 302, 7, 28, 60}) {
        SCOPED_TRACE(code);
        cloud.Answer("/report", {code});
        const std::size_t before = cloud.Of("/report").size();
        Sensor(SensorEventText("A", "SD", 1));
        Pass();
        ASSERT_EQ(cloud.Of("/report").size(), before + 1);
        EXPECT_EQ(reporter->KeptSamples(), 1u);
        // Delivered on the next pass as it was, under the same key; what arrived meanwhile
        // follows in a body of its own.
        Sensor(SensorEventText("A", "SD", 2));
        Pass();
        auto reports = cloud.Of("/report");
        ASSERT_EQ(reports.size(), before + 3);
        EXPECT_EQ(reports[before + 1].body, reports[before].body);
        EXPECT_EQ(reports[before + 1].key, reports[before].key);
        EXPECT_EQ(Samples({reports.back()}),
                  (std::vector<std::tuple<std::string, std::string, uint32_t>>{{"A", "SD", 2}}));
        EXPECT_NE(reports.back().key, reports[before].key);
        EXPECT_EQ(reporter->KeptSamples(), 0u);
    }
}

TEST_F(ReporterTest, ContentTheServerCallsBadIsDroppedWithOneErrorLine) {
    Start();
    InternetUp();
    for (int code : {400, 413, 415, 422}) {
        SCOPED_TRACE(code);
        const std::size_t before = cloud.Of("/report").size();
        cloud.Answer("/report", {code});
        Sensor(SensorEventText("A", "SD", static_cast<uint32_t>(code)));
        LogCapture log;
        Pass();
        EXPECT_EQ(reporter->KeptSamples(), 0u);
        EXPECT_EQ(log.Count("ERROR"), 1u) << log.Since();
        EXPECT_TRUE(log.Contains("Server Error ( " + std::to_string(code) + " ) : \"nope\""));
        Pass();
        EXPECT_EQ(cloud.Of("/report").size(), before + 1) << "not sent again";
    }
}

TEST_F(ReporterTest, HeartbeatListOfAFailedPostIsSentAgain) {
    Start();
    InternetUp();
    cloud.Answer("/hb", {500});
    Sensor(SensorEventText("A", "SD", 1));
    Pass();
    Sensor(SensorEventText("B", "SD", 1));
    Sensor(SensorEventText("A", "SD", 2));
    Pass();
    auto hb = cloud.Of("/hb");
    ASSERT_EQ(hb.size(), 3u);  // the first one with the news, empty
    EXPECT_EQ(hb[1].body, R"(["A"])");
    EXPECT_EQ(hb[2].body, R"(["A","B"])");
    Pass();
    EXPECT_EQ(cloud.Of("/hb").back().body, "[]");
}

TEST_F(ReporterTest, BacklogGoesOutInSeveralBoundedBodiesInOnePass) {
    Start();
    const uint32_t n = Reporter::kMaxBodySamples * 2 + 17;
    for (uint32_t i = 0; i < n; ++i)
        Sensor(SensorEventText("A", "SD", i));
    InternetUp();
    auto reports = cloud.Of("/report");
    ASSERT_EQ(reports.size(), 3u);
    for (const auto& r : reports)
        EXPECT_LE(r.body.size(), Reporter::kMaxBodyBytes);
    auto samples = Samples(reports);
    ASSERT_EQ(samples.size(), n);
    for (uint32_t i = 0; i < n; ++i)
        EXPECT_EQ(std::get<2>(samples[i]), i);
}

TEST_F(ReporterTest, FailureMidBacklogKeepsTheRestForTheNextPass) {
    Start();
    const uint32_t n = Reporter::kMaxBodySamples * 2;
    for (uint32_t i = 0; i < n; ++i)
        Sensor(SensorEventText("A", "SD", i));
    cloud.Answer("/report", {200, 500});
    InternetUp();
    EXPECT_EQ(cloud.Of("/report").size(), 2u);
    EXPECT_EQ(reporter->KeptSamples(), Reporter::kMaxBodySamples);
    Pass();
    auto reports = cloud.Of("/report");
    ASSERT_EQ(reports.size(), 3u);
    // Delivered (2xx) bodies: the first and the third; together every sample exactly once.
    auto samples = Samples({reports[0], reports[2]});
    ASSERT_EQ(samples.size(), n);
    for (uint32_t i = 0; i < n; ++i)
        EXPECT_EQ(std::get<2>(samples[i]), i);
}

TEST_F(ReporterTest, BoundKeepsTheNewestAndLogsHowManyWereDropped) {
    Start(5);
    for (uint32_t i = 0; i < 8; ++i)
        Sensor(SensorEventText("A", "SD", i));
    EXPECT_EQ(reporter->KeptSamples(), 5u);
    LogCapture log;
    Pass();
    EXPECT_TRUE(log.Contains("3 oldest samples dropped")) << log.Since();
    InternetUp();
    auto samples = Samples(cloud.Of("/report"));
    ASSERT_EQ(samples.size(), 5u);
    EXPECT_EQ(std::get<2>(samples.front()), 3u);
    EXPECT_EQ(std::get<2>(samples.back()), 7u);
}

TEST_F(ReporterTest, OutageSpillsToFlashOncePerSyncPeriodAndAPowerCutLosesNoneOfIt) {
    const std::string flash = paths::TmpDir() + "/../flash";
    std::filesystem::remove_all(flash);
    auto files = [&] {
        std::size_t n = 0;
        if (std::filesystem::exists(flash)) {
            for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(flash))
                ++n;
        }
        return n;
    };
    Start(20000, flash);
    Manager(R"({"evt":{"internet":"up"}})");
    uint32_t ts = 0;
    for (int pass = 0; pass < 4; ++pass) {
        Sensor(SensorEventText("A", "SD", ++ts));
        Pass();
    }
    EXPECT_EQ(reporter->KeptSamples(), 0u);
    EXPECT_FALSE(std::filesystem::exists(flash)) << "the cloud took them: no flash write";

    // The cloud fails: after "spill_after" (60 s, two passes) the samples go to flash, then at
    // most once per "store_sync" (60 s).
    cloud.Answer("/report", std::vector<int>(100, 503));
    LogCapture log;
    const uint32_t firstKept = ts + 1;
    for (int pass = 0; pass < 6; ++pass) {
        Sensor(SensorEventText("A", "SD", ++ts));
        Pass();
    }
    EXPECT_EQ(log.Count("samples moved to"), 2u) << log.Since();
    EXPECT_GE(files(), 1u);
    const auto failed = cloud.Of("/report");
    // A body in flight is sent again as it was, whichever tier holds it.
    for (std::size_t i = 5; i < failed.size(); ++i)
        EXPECT_EQ(failed[i].key, failed[4].key) << i;
    const std::size_t kept = reporter->KeptSamples();
    EXPECT_EQ(kept, 6u);

    // A power cut: no clean stop, the RAM tier gone. What was spilled comes back.
    const uint32_t spilledUpTo = ts - 1;  // the last pass spilled nothing
    reporter.reset();
    std::filesystem::remove_all(paths::TmpDir() + "/reportd");
    cloud.Answer("/report", {});
    Start(20000, flash);
    EXPECT_EQ(reporter->KeptSamples(), static_cast<std::size_t>(spilledUpTo - firstKept + 1));
    Manager(R"({"evt":{"internet":"up"}})");
    Pass();
    EXPECT_EQ(reporter->KeptSamples(), 0u);
    const auto reports = cloud.Of("/report");
    std::vector<uint32_t> got;
    for (std::size_t i = failed.size(); i < reports.size(); ++i) {
        for (const auto& s : Samples({reports[i]}))
            got.push_back(std::get<2>(s));
    }
    std::vector<uint32_t> want;
    for (uint32_t t = firstKept; t <= spilledUpTo; ++t)
        want.push_back(t);
    EXPECT_EQ(got, want);
    EXPECT_EQ(reports[failed.size()].key, failed.back().key) << "the same samples, the same key";
    EXPECT_EQ(files(), 0u) << "delivered files are deleted";
}

TEST_F(ReporterTest, MalformedEventsAreLoggedAndDropped) {
    Start();
    LogCapture log;
    // The variety of bad input is the parser's test; here: dropped, and nothing ends.
    const std::vector<std::string> bad = {
        "not json",
        R"({"device_id":"A","data":{"ts":1}})",
        R"({"device_id":"A","sensor_type":"SD","data":{"v":1}})",
    };
    for (const auto& text : bad)
        Sensor(text);
    Manager(R"({"evt":{"internet":1}})");
    Manager("{");
    EXPECT_EQ(log.Count("ERROR"), bad.size() + 2) << log.Since();
    EXPECT_FALSE(reporter->InternetUp());
    EXPECT_EQ(reporter->KeptSamples(), 0u);

    // Still working.
    Sensor(SensorEventText("A", "SD", 1));
    InternetUp();
    EXPECT_EQ(Samples(cloud.Of("/report")).size(), 1u);
}

TEST(ReporterLifetimeTest, ReportThreadEndsAtOnceOnDestruction) {
    testing_support::LogCapture::Init("reportd_test.log");
    auto nvram = std::make_unique<NVRAM>();
    nvram->report_interval = 30;
    auto reporter = std::make_unique<Reporter>(
        std::move(nvram), timer::SteadyTime(),
        [](const std::string&, const std::vector<std::string>&, const std::string&) {
            return http::Response{200, ""};
        });
    ASSERT_TRUE(WaitFor([&] { return reporter->Passes() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    reporter.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
