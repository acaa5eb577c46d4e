#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The framing of reportd's journal files. A segment file starts with a header (magic, format
// version, tier) and holds records one after the other:
//   u32 payload length | u32 CRC-32 of (sequence number, payload) | u64 sequence number | payload
// all little-endian. Appending never rewrites earlier bytes, so a power cut can only leave a
// torn record at the end of the last file.
namespace journal {

constexpr char kMagic[4] = {'H', 'V', 'X', 'J'};
constexpr uint8_t kVersion = 1;
constexpr std::size_t kFileHeaderBytes = 8;
constexpr std::size_t kRecordHeaderBytes = 16;
// Larger lengths are damage, not data: no record the journal writes comes near it.
constexpr uint32_t kMaxPayloadBytes = 4 * 1024 * 1024;

enum class Tier : uint8_t { kRam = 'R', kFlash = 'F' };

std::string FileHeader(Tier tier);

struct Record {
    uint64_t seq = 0;
    std::string payload;
};

// Appends one framed record to `out`.
void AppendRecord(std::string& out, uint64_t seq, const std::string& payload);

enum class Parse {
    kRecord,  // one whole record, `used` bytes
    kShort,   // the bytes end inside the record: a torn tail
    kCorrupt  // length out of range or CRC mismatch
};

// Reads the record at the start of [data, data + size).
Parse ParseRecord(const char* data, std::size_t size, Record& record, std::size_t& used);

uint32_t Crc32(const void* data, std::size_t size, uint32_t crc = 0);

// Little-endian helpers shared by the payload codecs.
void PutU32(std::string& out, uint32_t v);
void PutU64(std::string& out, uint64_t v);
uint32_t GetU32(const char* p);
uint64_t GetU64(const char* p);
void PutVarint(std::string& out, uint64_t v);
// False when the varint runs past `end` or over 64 bits.
bool GetVarint(const char*& p, const char* end, uint64_t& v);

}  // namespace journal
