#include "static_address.h"

#include <cstddef>
#include <cstdio>
#include <vector>

#include "bytes.h"
#include "log.h"

namespace {

// Reply layout: packet type, event code, parameter length, command packets allowed, opcode
// (2, little-endian), status, number of addresses, first address (6, least significant byte
// first), the 16 bytes after it.
constexpr std::size_t kNumCommands = 3;
constexpr std::size_t kOpcode = 4;
constexpr std::size_t kStatus = 6;
constexpr std::size_t kNumAddresses = 7;
constexpr std::size_t kAddress = 8;
constexpr std::size_t kAddressSize = 6;
constexpr std::size_t kSerial = kAddress + kAddressSize;
constexpr std::size_t kSerialSize = 16;
constexpr std::size_t kReplySize = kSerial + kSerialSize;

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

}  // namespace

bool ReadStaticAddress(std::string& address, std::string& serial) {
    auto link = hci::MakeLink();
    return ReadStaticAddress(*link, address, serial);
}

bool ReadStaticAddress(hci::Link& link, std::string& address, std::string& serial,
                       std::chrono::milliseconds timeout) {
    LOGV << "";
    if (!link.Open()) {
        LOGE << "Device Open Failed";
        return false;
    }
    if (!link.SetEventFilter()) {
        LOGE << "HCI Filter setup failed";
        link.Close();
        return false;
    }
    // The command takes four parameter bytes of no defined meaning.
    if (!link.Send(hci::kVendorOgf, hci::kReadStaticAddressOcf, {0, 0, 0, 0})) {
        LOGE << "Send failed";
        link.Close();
        return false;
    }
    const auto reply = link.Read(timeout);
    link.Close();
    if (!reply) {
        LOGE << "Read failed";
        return false;
    }
    const std::vector<uint8_t>& r = *reply;
    constexpr uint16_t kOpcodeWanted = hci::Opcode(hci::kVendorOgf, hci::kReadStaticAddressOcf);
    // Another event read first is no answer to this command. The whole opcode counts: Read
    // BD_ADDR (0x1009) completes with the same low byte.
    if (r.size() <= kStatus || r[0] != hci::kEventPacket || r[1] != hci::kCommandComplete ||
        r[kNumCommands] != 1 || r[kOpcode] != (kOpcodeWanted & 0xff) ||
        r[kOpcode + 1] != (kOpcodeWanted >> 8)) {
        return false;
    }
    if (r[kStatus] != 0) {
        LOGE << "Static address not read : status " << Hex(r[kStatus]);
        return false;
    }
    // Bytes beyond what the controller sent would be taken for the identity.
    if (r.size() < kReplySize || r[2] + 3u < kReplySize) {
        LOGE << "Short reply : " << r.size() << " bytes";
        return false;
    }
    if (r[kNumAddresses] == 0) {
        LOGE << "No static address in the reply";
        return false;
    }
    const std::vector<unsigned char> reversed(r.rend() - static_cast<std::ptrdiff_t>(kSerial),
                                              r.rend() - static_cast<std::ptrdiff_t>(kAddress));
    address = ToHex(reversed);
    serial = ToHex(r.data() + kSerial, kSerialSize);
    return true;
}
