#include "node_protocol.h"

#include <algorithm>
#include <limits>

#include "fnv.h"

namespace node_protocol {

using namespace fnv::literals;

uint16_t CharacteristicBitOf(const std::string& uuid) {
    switch (fnv::Hash(uuid)) {
        case "00000002-5fe1-11ed-9b6a-0242ac120002"_hash:
            return kCommandBit;
        case "00000003-5fe1-11ed-9b6a-0242ac120002"_hash:
            return kDataBit;
        case "00000004-5fe1-11ed-9b6a-0242ac120002"_hash:
            return kFotaBit;
        default:
            return 0;
    }
}

Bytes InfoRequest() {
    return {0x04, 0x00, 0x00};
}

Bytes ClockUpdate(uint32_t epoch) {
    return {0x03,
            0x01,
            0x00,
            static_cast<uint8_t>(epoch),
            static_cast<uint8_t>(epoch >> 8),
            static_cast<uint8_t>(epoch >> 16),
            static_cast<uint8_t>(epoch >> 24)};
}

std::optional<uint32_t> NodeTime(int64_t unixSeconds) {
    if (unixSeconds < 0 || unixSeconds > int64_t{std::numeric_limits<uint32_t>::max()})
        return std::nullopt;
    return static_cast<uint32_t>(unixSeconds);
}

Bytes BeaconCommand(bool on) {
    return {0x02, 0x01, 0x00, static_cast<uint8_t>(on ? 1 : 0)};
}

InfoStatus ParseInfoResponse(const Bytes& bytes, NodeInfo& info) {
    if (bytes.empty() || bytes[0] != kInfoResponseCode)
        return InfoStatus::kNotInfo;
    if (bytes.size() != kInfoResponseSize)
        return InfoStatus::kWrongSize;
    const auto nameBegin = bytes.begin() + 2;
    const auto nameEnd = std::find(nameBegin, nameBegin + 10, 0);
    info.name.assign(nameBegin, nameEnd);
    std::copy(bytes.begin() + 12, bytes.end(), info.version.begin());
    return InfoStatus::kOk;
}

}  // namespace node_protocol
