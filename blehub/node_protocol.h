#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The sensor node's GATT service and its small command protocol.
namespace node_protocol {

constexpr const char* kServiceUuid = "00000001-5fe1-11ed-9b6a-0242ac120002";
constexpr const char* kCommandUuid = "00000002-5fe1-11ed-9b6a-0242ac120002";
constexpr const char* kDataUuid = "00000003-5fe1-11ed-9b6a-0242ac120002";
constexpr const char* kFotaUuid = "00000004-5fe1-11ed-9b6a-0242ac120002";

enum CharacteristicBit : uint16_t {
    kCommandBit = 1,
    kDataBit = 2,
    kFotaBit = 4,
    kAllCharacteristics = kCommandBit | kDataBit | kFotaBit,
};

// Flag bit of one of the three characteristics; 0 for any other UUID.
uint16_t CharacteristicBitOf(const std::string& uuid);

using Bytes = std::vector<uint8_t>;

Bytes InfoRequest();                // 04 00 00
Bytes ClockUpdate(uint32_t epoch);  // 03 01 00 + epoch (LE)
Bytes BeaconCommand(bool on);       // 02 01 00 + 01|00

// The node clock's value for a UNIX time in seconds: unsigned 32-bit on the wire, so good
// until 2106. Nothing for a time it cannot carry, nor for a negative one: time() gives -1
// when it cannot tell the time, as with a 32-bit time_t past January 2038.
std::optional<uint32_t> NodeTime(int64_t unixSeconds);

constexpr uint8_t kInfoResponseCode = 0x84;
constexpr std::size_t kInfoResponseSize = 16;

struct NodeInfo {
    std::string name;
    std::array<uint8_t, 4> version{};  // major, minor, patch, build
};

enum class InfoStatus { kOk, kNotInfo, kWrongSize };

// Reads an information response: 0x84, one unused byte, a 10-byte name ended by a zero
// byte or by the field's end, then four version bytes.
InfoStatus ParseInfoResponse(const Bytes& bytes, NodeInfo& info);

}  // namespace node_protocol
