#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 32-bit FNV-1a over signed chars: every text switch in the daemons goes through it.
namespace fnv {

constexpr uint32_t kOffsetBasis = 0x811c9dc5u;
constexpr uint32_t kPrime = 0x01000193u;

constexpr uint32_t Hash(const char* s, std::size_t n) {
    uint32_t h = kOffsetBasis;
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(s[i])));
        h *= kPrime;
    }
    return h;
}

constexpr uint32_t Hash(const char* s) {
    std::size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return Hash(s, n);
}

inline uint32_t Hash(const std::string& s) {
    return Hash(s.data(), s.size());
}

namespace literals {
constexpr uint32_t operator""_hash(const char* s, std::size_t n) {
    return Hash(s, n);
}
}  // namespace literals

}  // namespace fnv
