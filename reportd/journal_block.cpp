#include "journal_block.h"

#include <cstring>
#include <unordered_map>

#include <zlib.h>
#include <nlohmann/json.hpp>

#include "journal_record.h"

namespace journal {

namespace {

// kind, time, count, unpacked size, last sequence number
constexpr std::size_t kHeader = 1 + 8 + 4 + 4 + 8;

enum Form : uint8_t { kRaw = 0, kUnsigned = 1, kNegative = 2, kFloat = 3, kDouble = 4 };

uint64_t ZigZag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t UnZigZag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

std::string Print(const std::string& type, uint32_t ts, const nlohmann::json& v) {
    nlohmann::json j;
    j["k"] = type;
    j["ts"] = ts;
    j["v"] = v;
    return j.dump();
}

// Appends the compact form of `text` when it prints back exactly; false otherwise.
bool Compact(const std::string& type, const std::string& text, int64_t& lastTs, std::string& out) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || j.size() != 3 || !j.contains("ts") || !j.contains("v") ||
        !j.contains("k") || j["k"] != type || !j["ts"].is_number_unsigned())
        return false;
    const uint64_t ts64 = j["ts"].get<uint64_t>();
    if (ts64 > UINT32_MAX)
        return false;
    const auto ts = static_cast<uint32_t>(ts64);
    const nlohmann::json& v = j["v"];
    std::string body;
    PutVarint(body, ZigZag(static_cast<int64_t>(ts) - lastTs));
    Form form;
    if (v.is_number_unsigned()) {
        form = kUnsigned;
        PutVarint(body, v.get<uint64_t>());
    } else if (v.is_number_integer()) {
        form = kNegative;
        PutVarint(body, ZigZag(v.get<int64_t>()));
    } else if (v.is_number_float()) {
        const double d = v.get<double>();
        const auto f = static_cast<float>(d);
        if (static_cast<double>(f) == d) {
            form = kFloat;
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            PutU32(body, bits);
        } else {
            form = kDouble;
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            PutU64(body, bits);
        }
    } else {
        return false;
    }
    // Only a form that prints back byte for byte: the body sent later must be today's text.
    nlohmann::json back = v;
    if (form == kFloat) {
        float f;
        const uint32_t bits = GetU32(body.data() + body.size() - 4);
        std::memcpy(&f, &bits, 4);
        back = static_cast<double>(f);
    }
    if (Print(type, ts, back) != text)
        return false;
    out += static_cast<char>(form);
    out += body;
    lastTs = ts;
    return true;
}

}  // namespace

std::string EncodeBlock(const std::vector<BlockSample>& samples, int64_t unixTime) {
    std::string raw;
    std::unordered_map<std::string, uint64_t> dict;
    uint64_t prevSeq = samples.empty() ? 0 : samples.front().seq;
    int64_t lastTs = 0;
    for (const auto& s : samples) {
        PutVarint(raw, s.seq - prevSeq);
        prevSeq = s.seq;
        const std::string key = s.device_id + '\0' + s.sensor_type;
        const auto it = dict.find(key);
        if (it != dict.end()) {
            PutVarint(raw, it->second);
        } else {
            const uint64_t index = dict.size();
            dict.emplace(key, index);
            PutVarint(raw, index);
            PutVarint(raw, s.device_id.size());
            raw += s.device_id;
            PutVarint(raw, s.sensor_type.size());
            raw += s.sensor_type;
        }
        int64_t ts = lastTs;
        std::string compact;
        if (Compact(s.sensor_type, s.text, ts, compact)) {
            raw += compact;
            lastTs = ts;
        } else {
            raw += static_cast<char>(kRaw);
            PutVarint(raw, s.text.size());
            raw += s.text;
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        packedSize = 0;
    }
    packed.resize(packedSize);

    std::string payload(1, kBlockKind);
    PutU64(payload, static_cast<uint64_t>(unixTime));
    PutU32(payload, static_cast<uint32_t>(samples.size()));
    PutU32(payload, static_cast<uint32_t>(raw.size()));
    PutU64(payload, samples.empty() ? 0 : samples.back().seq);
    payload += packed;
    return payload;
}

bool PeekBlock(const std::string& payload, BlockInfo& info) {
    if (payload.size() < kHeader || payload[0] != kBlockKind)
        return false;
    info.unix_time = static_cast<int64_t>(GetU64(payload.data() + 1));
    info.count = GetU32(payload.data() + 9);
    info.last_seq = GetU64(payload.data() + 17);
    return true;
}

bool DecodeBlock(const std::string& payload, uint64_t firstSeq, std::vector<BlockSample>& out) {
    BlockInfo info;
    if (!PeekBlock(payload, info))
        return false;
    const uint32_t rawSize = GetU32(payload.data() + 13);
    if (rawSize > 64u * 1024 * 1024)
        return false;
    std::string raw(rawSize, '\0');
    uLongf size = rawSize;
    if (uncompress(reinterpret_cast<Bytef*>(&raw[0]), &size,
                   reinterpret_cast<const Bytef*>(payload.data() + kHeader),
                   static_cast<uLong>(payload.size() - kHeader)) != Z_OK ||
        size != rawSize) {
        return false;
    }
    std::vector<std::pair<std::string, std::string>> dict;
    const char* p = raw.data();
    const char* end = p + raw.size();
    uint64_t seq = firstSeq;
    int64_t lastTs = 0;
    out.clear();
    out.reserve(info.count);
    auto text = [&](std::string& s) {
        uint64_t n = 0;
        if (!GetVarint(p, end, n) || n > static_cast<uint64_t>(end - p))
            return false;
        s.assign(p, n);
        p += n;
        return true;
    };
    for (uint32_t i = 0; i < info.count; ++i) {
        BlockSample s;
        uint64_t delta = 0, index = 0;
        if (!GetVarint(p, end, delta) || !GetVarint(p, end, index))
            return false;
        seq += delta;
        s.seq = seq;
        if (index == dict.size()) {
            std::string dev, type;
            if (!text(dev) || !text(type))
                return false;
            dict.emplace_back(std::move(dev), std::move(type));
        } else if (index > dict.size()) {
            return false;
        }
        s.device_id = dict[index].first;
        s.sensor_type = dict[index].second;
        if (p >= end)
            return false;
        const auto form = static_cast<uint8_t>(*p++);
        if (form == kRaw) {
            if (!text(s.text))
                return false;
        } else {
            uint64_t tsDelta = 0;
            if (!GetVarint(p, end, tsDelta))
                return false;
            const int64_t ts = lastTs + UnZigZag(tsDelta);
            if (ts < 0 || ts > UINT32_MAX)
                return false;
            lastTs = ts;
            nlohmann::json v;
            uint64_t u = 0;
            switch (form) {
                case kUnsigned:
                    if (!GetVarint(p, end, u))
                        return false;
                    v = u;
                    break;
                case kNegative:
                    if (!GetVarint(p, end, u))
                        return false;
                    v = UnZigZag(u);
                    break;
                case kFloat: {
                    if (end - p < 4)
                        return false;
                    const uint32_t bits = GetU32(p);
                    p += 4;
                    float f;
                    std::memcpy(&f, &bits, 4);
                    v = static_cast<double>(f);
                    break;
                }
                case kDouble: {
                    if (end - p < 8)
                        return false;
                    const uint64_t bits = GetU64(p);
                    p += 8;
                    double d;
                    std::memcpy(&d, &bits, 8);
                    v = d;
                    break;
                }
                default:
                    return false;
            }
            s.text = Print(s.sensor_type, static_cast<uint32_t>(ts), v);
        }
        out.push_back(std::move(s));
    }
    return p == end && seq == info.last_seq;
}

}  // namespace journal
