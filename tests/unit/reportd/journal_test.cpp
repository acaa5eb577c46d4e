#include "journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "log_capture.h"
#include "report_batch.h"

using journal::BlockSample;
using testing_support::LogCapture;
namespace fs = std::filesystem;

namespace {

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogCapture::Init("reportd_test.log");
        char tmpl[] = "/tmp/journal_tiers_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
        options.ram_dir = root + "/ram";
        options.store_dir = root + "/flash";
    }
    void TearDown() override { fs::remove_all(root); }

    std::unique_ptr<Journal> Open(std::vector<BlockSample>* replayed = nullptr,
                                  uint64_t* next = nullptr) {
        auto j = std::make_unique<Journal>(options, [this] { return unix_now; });
        const uint64_t n =
            j->Open([&](const std::string& id, const std::string& type, const Sample& s) {
                if (replayed != nullptr)
                    replayed->push_back({s.seq, id, type, s.text});
            });
        if (next != nullptr)
            *next = n;
        return j;
    }

    static BlockSample Make(uint64_t seq, const std::string& id = "D0A1B2C30001") {
        return {seq, id, "AT",
                nlohmann::json{{"k", "AT"}, {"ts", 1700000000 + seq}, {"v", 21.5}}.dump()};
    }
    static std::vector<BlockSample> Range(uint64_t first, uint64_t last) {
        std::vector<BlockSample> out;
        for (uint64_t seq = first; seq <= last; ++seq)
            out.push_back(Make(seq));
        return out;
    }
    static std::vector<uint64_t> Seqs(const std::vector<BlockSample>& samples) {
        std::vector<uint64_t> out;
        for (const auto& s : samples)
            out.push_back(s.seq);
        return out;
    }
    static std::vector<uint64_t> Iota(uint64_t first, uint64_t last) {
        std::vector<uint64_t> out;
        for (uint64_t s = first; s <= last; ++s)
            out.push_back(s);
        return out;
    }
    std::vector<BlockSample> Batch(Journal& j, std::size_t max) {
        return j.FlashBatch(max, 1 << 20, [](const BlockSample& s, bool newDevice) {
            return ReportBatch::Cost(s.device_id, Sample{s.seq, s.text}, newDevice);
        });
    }
    std::vector<std::string> Files(const std::string& dir) {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir))
            out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string LastFlashFile() {
        const auto names = journal::ListSegments(options.store_dir);
        return names.empty() ? std::string() : options.store_dir + "/" + names.back();
    }

    std::string root;
    Journal::Options options;
    int64_t unix_now = 1700000000;
};

TEST_F(JournalTest, ACrashGivesBackTheMemorySamplesInOrderWithTheBodyInFlight) {
    {
        auto j = Open();
        for (const auto& s : Range(10, 15))
            j->Append(s.device_id, s.sensor_type, Sample{s.seq, s.text});
        j->MemoryInFlight({10, 12, 3});
        j->MemoryGone(9);  // nothing yet
        j->MemoryInFlight({11, 13, 3});
        j->MemoryGone(10);
    }  // no clean stop: as after kill -9
    std::vector<BlockSample> replayed;
    uint64_t next = 0;
    auto j = Open(&replayed, &next);
    EXPECT_EQ(Seqs(replayed), Iota(11, 15));
    EXPECT_EQ(replayed[0].text, Make(11).text);
    ASSERT_TRUE(j->ReplayedInFlight());
    EXPECT_EQ(j->ReplayedInFlight()->first, 11u);
    EXPECT_EQ(j->ReplayedInFlight()->last, 13u);
    // Numbers go on from the journal, and never below the clock's microseconds.
    EXPECT_EQ(next, 1700000000ull * 1000000);
    unix_now = 0;  // a clock that cannot be read
    Open(nullptr, &next);
    EXPECT_EQ(next, 16u);
}

TEST_F(JournalTest, SpilledSamplesOutliveThePowerCutAndAreCutIntoTheSameBodies) {
    {
        auto j = Open();
        for (const auto& s : Range(1, 10))
            j->Append(s.device_id, s.sensor_type, Sample{s.seq, s.text});
        ASSERT_TRUE(j->Spill({Range(1, 3), Range(4, 10)}));
        j->MemoryGone(10);
        EXPECT_EQ(j->FlashSamples(), 10u);
        EXPECT_EQ(Seqs(Batch(*j, 4)), Iota(1, 3)) << "a body never spans two blocks";
        j->FlashGone(3);
        EXPECT_EQ(Seqs(Batch(*j, 4)), Iota(4, 7));
        j->FlashGone(7);
        EXPECT_EQ(j->FlashSamples(), 3u);
    }
    fs::remove_all(options.ram_dir);  // a reboot
    std::vector<BlockSample> replayed;
    auto j = Open(&replayed);
    EXPECT_TRUE(replayed.empty());
    // The deliveries were not written to flash: the same bodies come again, to be dropped
    // by the cloud through their keys.
    EXPECT_EQ(j->FlashSamples(), 10u);
    EXPECT_EQ(Seqs(Batch(*j, 4)), Iota(1, 3));
    j->FlashGone(3);
    EXPECT_EQ(Seqs(Batch(*j, 4)), Iota(4, 7));
    j->FlashGone(7);
    j->Maintain(true);  // the mark goes to flash
    j.reset();
    j = Open();
    EXPECT_EQ(j->FlashSamples(), 3u);
    EXPECT_EQ(Seqs(Batch(*j, 4)), Iota(8, 10));
    j->FlashGone(10);
    EXPECT_EQ(j->FlashSamples(), 0u);
    EXPECT_TRUE(Files(options.store_dir).empty()) << "delivered files are deleted";
}

TEST_F(JournalTest, APowerCutInsideTheLastBlockKeepsEveryWholeBlockBeforeIt) {
    {
        auto j = Open();
        ASSERT_TRUE(j->Spill({Range(1, 5)}));
        ASSERT_TRUE(j->Spill({Range(6, 9)}));
    }
    const std::string path = LastFlashFile();
    const auto size = fs::file_size(path);
    std::string whole;
    {
        std::ifstream f(path, std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(f), {});
    }
    // The second block's record: inside its header (length, CRC, sequence), its payload, and
    // at its start.
    const std::size_t second = whole.size() - 1;
    std::size_t start = journal::kFileHeaderBytes;
    start += journal::kRecordHeaderBytes + journal::GetU32(whole.data() + start);
    for (const std::size_t cut : {start + 2, start + 6, start + 12, start + 20, second, start}) {
        fs::resize_file(path, size);
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f << whole.substr(0, cut);
        }
        LogCapture log;
        auto j = Open();
        EXPECT_EQ(j->FlashSamples(), 5u) << cut;
        EXPECT_EQ(Seqs(Batch(*j, 100)), Iota(1, 5));
        if (cut != start) {
            EXPECT_TRUE(log.Contains("torn or corrupt tail, " + std::to_string(cut - start) +
                                     " bytes skipped"))
                << log.Since();
        }
        j.reset();
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << whole;
    }
}

TEST_F(JournalTest, DamagedFilesAreSetAsideOrSkippedAndTheJournalGoesOn) {
    fs::create_directories(options.store_dir);
    std::srand(7);
    {
        std::ofstream f(options.store_dir + "/" + journal::SegmentName(1), std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            f.put(static_cast<char>(std::rand()));
    }
    std::ofstream(options.store_dir + "/" + journal::SegmentName(2));  // empty
    {
        std::string header = journal::FileHeader(journal::Tier::kFlash);
        header[4] = 9;
        std::ofstream(options.store_dir + "/" + journal::SegmentName(3), std::ios::binary)
            << header;
    }
    LogCapture log;
    auto j = Open();
    EXPECT_TRUE(log.Contains("not a journal file, moved to"));
    EXPECT_TRUE(log.Contains("unknown format version, moved to"));
    EXPECT_TRUE(log.Contains("torn header, 0 bytes skipped"));
    EXPECT_EQ(Files(options.store_dir),
              (std::vector<std::string>{journal::SegmentName(1) + ".bad",
                                        journal::SegmentName(3) + ".bad"}));
    ASSERT_TRUE(j->Spill({Range(1, 2)}));
    j.reset();
    EXPECT_EQ(Open()->FlashSamples(), 2u);
}

TEST_F(JournalTest, FlashBoundsDropTheOldestAndCountThem) {
    options.flash_segment_bytes = 1;  // a file per spill
    options.store_max_bytes = 3 * 1024;
    auto j = Open();
    // Samples of many devices pack less well: each spill is about 1 KiB.
    auto spill = [&](uint64_t first) {
        std::vector<BlockSample> block;
        for (uint64_t s = first; s < first + 60; ++s)
            block.push_back(Make(s, "DEV" + std::to_string(s * 7919 % 100000)));
        return j->Spill({block});
    };
    for (uint64_t first = 1; first <= 600; first += 60)
        ASSERT_TRUE(spill(first));
    const uint64_t dropped = j->TakeDropped();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped + j->FlashSamples(), 600u) << "each sample kept or counted";
    EXPECT_EQ(Batch(*j, 1).front().seq, dropped + 1) << "the oldest went first";
    uint64_t total = 0;
    for (const auto& e : fs::directory_iterator(options.store_dir))
        total += fs::file_size(e.path());
    EXPECT_LE(total, options.store_max_bytes);
    EXPECT_EQ(j->TakeDropped(), 0u);

    options.store_max_age = 3600;
    j = Open();
    unix_now += 3601;
    ASSERT_TRUE(spill(601));
    j->Maintain(false);
    EXPECT_EQ(j->FlashSamples(), 60u);
    EXPECT_EQ(j->TakeDropped(), 600u - dropped);
}

TEST_F(JournalTest, AStoreFolderThatCannotBeWrittenIsOneLineAndTriedAgain) {
    std::ofstream(root + "/flash");  // a file where the folder should be
    LogCapture log;
    auto j = Open();
    EXPECT_FALSE(j->Spill({Range(1, 3)}));
    EXPECT_FALSE(j->Spill({Range(1, 3)}));
    EXPECT_EQ(log.Count("journal: flash tier"), 1u) << log.Since();
    EXPECT_EQ(j->FlashSamples(), 0u);
    fs::remove(root + "/flash");
    EXPECT_TRUE(j->Spill({Range(1, 3)}));
    EXPECT_TRUE(log.Contains("journal: flash tier written again"));
    EXPECT_EQ(j->FlashSamples(), 3u);
}

}  // namespace
