#pragma once

#include <chrono>
#include <string>

#include "hci_link.h"

// The gateway's identity from its Bluetooth controller: a vendor command answers with the
// controller's static address and the 16 bytes that follow it.
namespace hci {

constexpr uint16_t kVendorOgf = 0x3f;
constexpr uint16_t kReadStaticAddressOcf = 0x0009;
constexpr std::chrono::seconds kReplyTimeout{5};

}  // namespace hci

// On success `address` is the 12-digit address, most significant byte first, and `serial`
// the 32 digits of the 16 bytes after it; on failure both are left as they were.
bool ReadStaticAddress(std::string& address, std::string& serial);
bool ReadStaticAddress(hci::Link& link, std::string& address, std::string& serial,
                       std::chrono::milliseconds timeout = hci::kReplyTimeout);
