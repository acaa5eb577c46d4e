#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The one command provd sends to the Bluetooth controller goes through this link: a raw HCI
// socket of libbluetooth on the router, a Unix socket served by the BlueZ stand-in on a
// development host. Exactly one implementation is linked in (chosen at build time).
namespace hci {

constexpr uint8_t kCommandPacket = 0x01;
constexpr uint8_t kEventPacket = 0x04;
constexpr uint8_t kCommandComplete = 0x0e;
// The largest event packet: type, code, length and 255 parameter bytes (and a spare).
constexpr std::size_t kMaxEventSize = 260;

constexpr uint16_t Opcode(uint16_t ogf, uint16_t ocf) {
    return static_cast<uint16_t>(ogf << 10 | ocf);
}

class Link {
  public:
    virtual ~Link() = default;

    // Opens the first controller; false when there is none or it cannot be opened.
    virtual bool Open() = 0;
    // Lets only event packets (every event) through to Read.
    virtual bool SetEventFilter() = 0;
    // Sends one command packet.
    virtual bool Send(uint16_t ogf, uint16_t ocf, const std::vector<uint8_t>& params) = 0;
    // One packet as read from the controller, waiting at most `timeout`; nothing on a
    // failure or when nothing came.
    virtual std::optional<std::vector<uint8_t>> Read(std::chrono::milliseconds timeout) = 0;
    // Safe to call when not open, and twice.
    virtual void Close() = 0;
};

std::unique_ptr<Link> MakeLink();

// For the links: one packet from `fd` (a socket that hands over one packet per read), as
// Link::Read answers.
std::optional<std::vector<uint8_t>> ReadPacket(int fd, std::chrono::milliseconds timeout);

}  // namespace hci
