#include "journal_record.h"

#include <cstring>

#include <zlib.h>

namespace journal {

std::string FileHeader(Tier tier) {
    std::string h(kMagic, sizeof(kMagic));
    h += static_cast<char>(kVersion);
    h += static_cast<char>(tier);
    h += std::string(2, '\0');
    return h;
}

uint32_t Crc32(const void* data, std::size_t size, uint32_t crc) {
    const auto* p = static_cast<const Bytef*>(data);
    uLong c = crc;
    while (size > 0) {
        const uInt n = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        c = crc32(c, p, n);
        p += n;
        size -= n;
    }
    return static_cast<uint32_t>(c);
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

void PutU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t GetU32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(p[i]);
    return v;
}

uint64_t GetU64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(p[i]);
    return v;
}

void PutVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7f) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

bool GetVarint(const char*& p, const char* end, uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p >= end)
            return false;
        const auto b = static_cast<uint8_t>(*p++);
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if ((b & 0x80) == 0)
            return true;
    }
    return false;
}

namespace {
uint32_t RecordCrc(const char* seq, const char* payload, std::size_t size) {
    return Crc32(payload, size, Crc32(seq, 8));
}
}  // namespace

void AppendRecord(std::string& out, uint64_t seq, const std::string& payload) {
    std::string seqBytes;
    PutU64(seqBytes, seq);
    PutU32(out, static_cast<uint32_t>(payload.size()));
    PutU32(out, RecordCrc(seqBytes.data(), payload.data(), payload.size()));
    out += seqBytes;
    out += payload;
}

Parse ParseRecord(const char* data, std::size_t size, Record& record, std::size_t& used) {
    if (size < kRecordHeaderBytes) {
        // Bytes past a torn header may still be nonsense: only a plausible length is "short".
        if (size >= 4 && GetU32(data) > kMaxPayloadBytes)
            return Parse::kCorrupt;
        return Parse::kShort;
    }
    const uint32_t length = GetU32(data);
    if (length > kMaxPayloadBytes)
        return Parse::kCorrupt;
    if (size < kRecordHeaderBytes + length)
        return Parse::kShort;
    const char* payload = data + kRecordHeaderBytes;
    if (GetU32(data + 4) != RecordCrc(data + 8, payload, length))
        return Parse::kCorrupt;
    record.seq = GetU64(data + 8);
    record.payload.assign(payload, length);
    used = kRecordHeaderBytes + length;
    return Parse::kRecord;
}

}  // namespace journal
