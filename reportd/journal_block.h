#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The flash tier's unit: the samples of one spill, packed small so that the default flash budget
// holds half a day of readings. A sample whose text is the usual {"k","ts","v"} object is kept
// as numbers (ts as a difference, "v" as a varint or a 32-bit float when that prints back the
// same); any other text is kept as it is. The whole block is then deflated.
namespace journal {

struct BlockSample {
    uint64_t seq = 0;
    std::string device_id;
    std::string sensor_type;
    std::string text;
};

// Payload of a flash record holding `samples` (oldest first, seq rising), written at `unixTime`.
std::string EncodeBlock(const std::vector<BlockSample>& samples, int64_t unixTime);

struct BlockInfo {
    int64_t unix_time = 0;
    uint32_t count = 0;
    uint64_t last_seq = 0;
};
// The fixed fields of a block payload; false when it is not one.
bool PeekBlock(const std::string& payload, BlockInfo& info);
// The samples of a block payload (`firstSeq` is the record's sequence number); false when the
// payload does not decode (it passed its CRC, so this means another writer's bug).
bool DecodeBlock(const std::string& payload, uint64_t firstSeq, std::vector<BlockSample>& out);

// Record kinds: the first byte of every payload.
constexpr char kSampleKind = 'S';  // RAM tier: one sample
constexpr char kBatchKind = 'B';   // RAM tier: the boundaries of the body in flight
constexpr char kAckKind = 'A';     // both tiers: every sample up to a number has left this tier
constexpr char kBlockKind = 'F';   // flash tier: a block of samples

}  // namespace journal
