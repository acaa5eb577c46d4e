// reportd's journal, in process: CPU time and bytes written per sample in each tier, the
// samples a full default flash tier holds (hours at 10 readings/s) and the time to replay it.
//
//   build/bench/journal_bench [folder]    (default: a fresh folder under /tmp; the flash
//                                          tier's figures depend on the disk under it)

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "journal.h"
#include "report_batch.h"
#include "reporter.h"

namespace {

// Readings as blehub publishes them: 10 nodes, a float temperature and humidity and an
// unsigned counter, one reading a second each.
journal::BlockSample Reading(uint64_t seq, uint64_t i) {
    static const char* kTypes[] = {"AT", "RH", "SD"};
    const int node = static_cast<int>(i % 10);
    const char* type = kTypes[(i / 10) % 3];
    // Noisy values: a slow drift plus a jitter of 256 steps, as a real sensor's low bits.
    static uint64_t state = 88172645463325252ull;
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    nlohmann::json v;
    if (type[0] == 'S') {
        v = static_cast<uint32_t>(i / 30);
    } else {
        const float drift = static_cast<float>((i / 3000) % 100) / 10.0f;
        const float jitter = static_cast<float>(state % 256) / 1000.0f;
        v = static_cast<double>((type[0] == 'A' ? 21.0f : 45.0f) + drift + jitter);
    }
    char id[16];
    std::snprintf(id, sizeof(id), "D0A1B2C3%04d", node);
    nlohmann::json j{{"k", type}, {"ts", 1700000000 + i / 30}, {"v", v}};
    return {seq, id, type, j.dump()};
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// Readings through reportd's own code (event text parsed, kept, journaled, posted to a cloud
// that answers 200 at once), without the bus: what reportd itself sustains.
void Throughput(const std::string& root, bool journalOn) {
    std::filesystem::remove_all(root);
    setenv("HALVEX_RUN_DIR", root.c_str(), 1);
    auto nvram = std::make_unique<NVRAM>();
    nvram->url = "https://cloud.bench";
    nvram->report_interval = 1;
    nvram->max_samples = 1000000;
    nvram->queue_limit = 0;
    nvram->journal = journalOn ? 1 : 0;
    nvram->store_dir = root + "/flash";
    std::atomic<uint64_t> posted{0};
    Reporter reporter(
        std::move(nvram), timer::SteadyTime(),
        [&](const std::string& url, const std::vector<std::string>&, const std::string& body) {
            if (url.find("/report") != std::string::npos) {
                for (std::size_t at = body.find("\"ts\""); at != std::string::npos;
                     at = body.find("\"ts\"", at + 1))
                    posted.fetch_add(1);
            }
            return http::Response{200, "{}"};
        });
    reporter.UBUSManagerHandler(R"({"evt":{"internet":"up"}})");
    while (reporter.MessageHandler()) {
    }
    const uint64_t n = 200000;
    std::vector<std::string> events;
    for (uint64_t i = 0; i < n; ++i) {
        const auto s = Reading(0, i);
        nlohmann::json data = nlohmann::json::parse(s.text);
        data.erase("k");
        data["ts"] = 1700000000 + i;  // every reading kept: one a "ts" second per node and type
        events.push_back(nlohmann::json{
            {"device_id", s.device_id},
            {"sensor_type", "SD"},
            {"data", data}}.dump());
    }
    const double c0 = CpuSeconds(), t0 = Now();
    for (const auto& e : events) {
        reporter.UBUSSensorHandler(e.c_str());
        reporter.MessageHandler();
    }
    while (posted.load() < n && Now() - t0 < 120) {
        usleep(1000);
    }
    const double t1 = Now(), c1 = CpuSeconds();
    std::printf(
        "reportd, journal %-3s         %.0f readings/s in, all posted; %.1f us CPU per "
        "reading (every thread)\n",
        journalOn ? "on" : "off", n / (t1 - t0), (c1 - c0) * 1e6 / n);
    if (journalOn && reporter.SampleJournal() != nullptr) {
        std::printf(
            "                             RAM tier %.1f bytes/sample, flash tier %llu "
            "bytes written\n",
            static_cast<double>(reporter.SampleJournal()->RamBytesWritten()) / n,
            static_cast<unsigned long long>(reporter.SampleJournal()->FlashBytesWritten()));
    }
}

int main(int argc, char** argv) {
    std::string root;
    if (argc > 1) {
        root = argv[1];
        std::filesystem::create_directories(root);
    } else {
        char tmpl[] = "/tmp/journal-bench-XXXXXX";
        root = mkdtemp(tmpl);
    }
    Journal::Options o;
    o.ram_dir = root + "/ram";
    o.store_dir = root + "/flash";
    const auto unixNow = [] { return static_cast<int64_t>(1700000000); };

    Throughput(root + "/reporter", true);
    Throughput(root + "/reporter", false);

    // RAM tier: every sample appended as it comes.
    const uint64_t n = 100000;
    double textBytes = 0;
    {
        std::filesystem::remove_all(root);
        Journal j(o, unixNow);
        uint64_t seq = j.Open([](auto&&...) {});
        std::vector<journal::BlockSample> samples;
        for (uint64_t i = 0; i < n; ++i) {
            samples.push_back(Reading(seq + i, i));
            textBytes += static_cast<double>(samples.back().text.size());
        }
        const double c0 = CpuSeconds();
        for (const auto& s : samples) {
            j.Append(s.device_id, s.sensor_type, Sample{s.seq, s.text});
            if (s.seq % 600 == 0)
                j.MemoryGone(s.seq - 1);  // as the reports take them
        }
        const double c1 = CpuSeconds();
        std::printf("sample text                  %.1f bytes on average\n", textBytes / n);
        std::printf("RAM tier append              %.2f us CPU, %.1f bytes written per sample\n",
                    (c1 - c0) * 1e6 / n, static_cast<double>(j.RamBytesWritten()) / n);
    }

    // Flash tier: spills of 600 samples (a minute at 10 readings/s), each synced.
    {
        std::filesystem::remove_all(root);
        Journal j(o, unixNow);
        uint64_t seq = j.Open([](auto&&...) {});
        const uint64_t spills = 100;
        const double c0 = CpuSeconds(), t0 = Now();
        for (uint64_t s = 0; s < spills; ++s) {
            std::vector<journal::BlockSample> block;
            for (uint64_t i = 0; i < 600; ++i)
                block.push_back(Reading(seq++, s * 600 + i));
            j.Spill({block});
        }
        const double c1 = CpuSeconds(), t1 = Now();
        std::printf(
            "flash tier spill (600/block) %.2f us CPU, %.1f bytes written per sample, "
            "%.1f ms per synced spill\n",
            (c1 - c0) * 1e6 / (spills * 600),
            static_cast<double>(j.FlashBytesWritten()) / (spills * 600), (t1 - t0) * 1e3 / spills);
    }

    // A full default flash tier (8192 KiB): how many samples, how long it takes to read back.
    {
        std::filesystem::remove_all(root);
        uint64_t total = 0;
        {
            Journal j(o, unixNow);
            uint64_t seq = j.Open([](auto&&...) {});
            uint64_t i = 0;
            while (j.TakeDropped() == 0) {
                std::vector<journal::BlockSample> block;
                for (uint64_t k = 0; k < 600; ++k, ++i)
                    block.push_back(Reading(seq++, i));
                j.Spill({block});
            }
            total = j.FlashSamples();
        }
        const double t0 = Now();
        Journal j(o, unixNow);
        j.Open([](auto&&...) {});
        const double t1 = Now();
        uint64_t read = 0;
        const auto cost = [](const journal::BlockSample& s, bool newDevice) {
            return ReportBatch::Cost(s.device_id, Sample{s.seq, s.text}, newDevice);
        };
        for (auto body = j.FlashBatch(500, 64 * 1024, cost); !body.empty();
             body = j.FlashBatch(500, 64 * 1024, cost)) {
            read += body.size();
            j.FlashGone(body.back().seq);
        }
        const double t2 = Now();
        std::printf(
            "full default flash tier      %llu samples = %.1f h at 10 readings/s "
            "(%.1f bytes per sample)\n",
            static_cast<unsigned long long>(total), total / 36000.0,
            8192.0 * 1024 / static_cast<double>(total));
        std::printf(
            "replay at start              %.3f s; reading every body back %.3f s "
            "(%llu samples)\n",
            t1 - t0, t2 - t1, static_cast<unsigned long long>(read));
    }
    std::filesystem::remove_all(root);
    return 0;
}
