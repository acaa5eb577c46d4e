#include "journal_segment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "journal_block.h"

using namespace journal;

namespace {

class JournalFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/journal_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    // (seq, payload) of the whole records, and what the read said.
    std::vector<std::pair<uint64_t, std::string>> Records(const std::string& path,
                                                          SegmentRead* result = nullptr) {
        std::vector<std::pair<uint64_t, std::string>> out;
        const SegmentRead r = ReadSegment(
            path, [&](const Record& rec, std::size_t) { out.emplace_back(rec.seq, rec.payload); });
        if (result != nullptr)
            *result = r;
        return out;
    }

    std::string dir;
};

TEST(JournalRecord, Crc32IsTheUsualOne) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

TEST(JournalRecord, FramingRoundTripsAndRefusesEveryDamagedByte) {
    std::string bytes;
    AppendRecord(bytes, 0x0102030405060708ull, "payload");
    ASSERT_EQ(bytes.size(), kRecordHeaderBytes + 7);
    Record r;
    std::size_t used = 0;
    ASSERT_EQ(ParseRecord(bytes.data(), bytes.size(), r, used), Parse::kRecord);
    EXPECT_EQ(r.seq, 0x0102030405060708ull);
    EXPECT_EQ(r.payload, "payload");
    EXPECT_EQ(used, bytes.size());
    // Any flipped bit in the CRC, the sequence number or the payload is caught by the CRC; in
    // the length, by the CRC or as a record running past the end.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string bad = bytes;
        bad[i] = static_cast<char>(bad[i] ^ 0x10);
        EXPECT_NE(ParseRecord(bad.data(), bad.size(), r, used), Parse::kRecord) << "byte " << i;
    }
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_EQ(ParseRecord(bytes.data(), cut, r, used), Parse::kShort) << "cut " << cut;
}

TEST_F(JournalFiles, ReplayGivesRecordsInOrderAndSkipsATornTailAtEveryOffset) {
    const std::string path = dir + "/" + SegmentName(1);
    {
        SegmentWriter w;
        ASSERT_EQ(w.Create(path, Tier::kFlash, true), 0);
        for (uint64_t seq = 1; seq <= 3; ++seq) {
            std::string rec;
            AppendRecord(rec, seq, "sample " + std::to_string(seq));
            ASSERT_EQ(w.Append(rec), 0);
        }
        ASSERT_EQ(w.Sync(), 0);
    }
    const std::string whole = Read(path);
    SegmentRead result;
    const auto all = Records(path, &result);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], std::make_pair(uint64_t{1}, std::string("sample 1")));
    EXPECT_EQ(all[2], std::make_pair(uint64_t{3}, std::string("sample 3")));
    EXPECT_EQ(result.status, SegmentRead::kOk);
    EXPECT_EQ(result.tier, Tier::kFlash);
    EXPECT_EQ(result.skipped_bytes, 0u);

    // Cut inside the file header, a record header (length, CRC, sequence), a payload, and at a
    // record boundary: every whole record before the cut comes back, the rest is counted.
    const std::size_t rec = kRecordHeaderBytes + 8;
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        Write(path, whole.substr(0, cut));
        const auto got = Records(path, &result);
        if (cut < kFileHeaderBytes) {
            EXPECT_EQ(result.status, SegmentRead::kTornHeader) << cut;
            EXPECT_EQ(result.skipped_bytes, cut);
            continue;
        }
        const std::size_t whole_records = (cut - kFileHeaderBytes) / rec;
        EXPECT_EQ(result.status, SegmentRead::kOk) << cut;
        ASSERT_EQ(got.size(), whole_records) << cut;
        EXPECT_EQ(result.valid_bytes, kFileHeaderBytes + whole_records * rec);
        EXPECT_EQ(result.skipped_bytes, cut - result.valid_bytes);
    }
}

TEST_F(JournalFiles, ACorruptRecordEndsTheReplayOfItsFile) {
    const std::string path = dir + "/" + SegmentName(1);
    std::string bytes = FileHeader(Tier::kRam);
    for (uint64_t seq = 1; seq <= 3; ++seq)
        AppendRecord(bytes, seq, "abc");
    bytes[kFileHeaderBytes + kRecordHeaderBytes + 3 + kRecordHeaderBytes + 1] ^= 1;  // 2nd payload
    Write(path, bytes);
    SegmentRead result;
    EXPECT_EQ(Records(path, &result).size(), 1u);
    EXPECT_EQ(result.skipped_bytes, 2 * (kRecordHeaderBytes + 3));
}

TEST_F(JournalFiles, ForeignFilesAndUnknownVersionsAreToldApartAndSetAside) {
    const std::string foreign = dir + "/" + SegmentName(1);
    Write(foreign, "this is not a journal at all");
    SegmentRead result;
    Records(foreign, &result);
    EXPECT_EQ(result.status, SegmentRead::kNotJournal);

    const std::string newer = dir + "/" + SegmentName(2);
    std::string header = FileHeader(Tier::kFlash);
    header[4] = static_cast<char>(kVersion + 1);
    Write(newer, header);
    Records(newer, &result);
    EXPECT_EQ(result.status, SegmentRead::kUnknownVersion);

    EXPECT_EQ(ListSegments(dir), (std::vector<std::string>{SegmentName(1), SegmentName(2)}));
    EXPECT_EQ(SetAside(foreign), foreign + ".bad");
    Write(foreign, "again");
    EXPECT_EQ(SetAside(foreign), foreign + ".bad.1");
    EXPECT_EQ(Read(foreign + ".bad"), "this is not a journal at all");
    EXPECT_EQ(ListSegments(dir), (std::vector<std::string>{SegmentName(2)}));
}

TEST_F(JournalFiles, AnExistingSegmentIsNeverReused) {
    const std::string path = dir + "/" + SegmentName(1);
    SegmentWriter w;
    ASSERT_EQ(w.Create(path, Tier::kRam, false), 0);
    EXPECT_NE(w.Create(path, Tier::kRam, false), 0) << "an existing segment is never reused";
}

TEST(JournalBlock, RealReadingsPackSmallAndPrintBackByteForByte) {
    std::vector<BlockSample> in;
    uint64_t seq = 1000;
    for (int i = 0; i < 600; ++i) {
        const std::string dev = "D0A1B2C3000" + std::to_string(i % 10);
        const float value = 20.0f + static_cast<float>(i % 37) * 0.1f;
        nlohmann::json j{
            {"k", "AT"}, {"ts", 1700000000 + i / 10}, {"v", static_cast<double>(value)}};
        in.push_back({seq, dev, "AT", j.dump()});
        seq += 1 + (i % 3);
    }
    in.push_back({seq + 1, "X", "SD", R"({"k":"SD","ts":5,"v":-3})"});
    in.push_back({seq + 2, "X", "SD", R"({"k":"SD","ts":6,"v":1.25e300})"});
    in.push_back({seq + 3, "X", "ZZ", R"({"k":"ZZ","note":"kept as text"})"});
    const std::string payload = EncodeBlock(in, 1234);
    BlockInfo info;
    ASSERT_TRUE(PeekBlock(payload, info));
    EXPECT_EQ(info.count, in.size());
    EXPECT_EQ(info.unix_time, 1234);
    EXPECT_LT(payload.size() + kRecordHeaderBytes, in.size() * 12) << "bytes per sample";
    std::vector<BlockSample> out;
    ASSERT_TRUE(DecodeBlock(payload, in.front().seq, out));
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(out[i].seq, in[i].seq);
        EXPECT_EQ(out[i].device_id, in[i].device_id);
        EXPECT_EQ(out[i].sensor_type, in[i].sensor_type);
        EXPECT_EQ(out[i].text, in[i].text);
    }
    std::string cut = payload.substr(0, payload.size() - 3);
    EXPECT_FALSE(DecodeBlock(cut, in.front().seq, out));
}

}  // namespace
