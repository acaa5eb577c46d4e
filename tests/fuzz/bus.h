#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ubus.h"

// An in-process bus for the harnesses: the ubus transport they link in place of the real one.
// Method calls get the answer set here, events sent are kept, and events reach the daemons'
// handlers through a real Listener, after the same payload check the host transport makes.
namespace fuzz {

// The answer every method call gets from now on; empty: the method answers with no data.
void SetReply(const std::string& text);

struct SentEvent {
    std::string type;
    std::string json;
};
// Events sent since the last TakeSent, oldest first.
std::vector<SentEvent> TakeSent();

// A Listener whose events come from the harness instead of a bus.
class Bus : public ubus::Listener {
  public:
    // `text` as it would arrive: the transport hands the handler its compact form, or
    // nothing when it is not an object blobmsg takes.
    void Deliver(const char* type, const std::string& text);
};

// The input as text, cut at the first zero byte (a bus payload is a C string).
std::string CText(const uint8_t* data, std::size_t size);

// Takes a 32-bit little-endian number off the front of the input (zeros for missing bytes).
int32_t TakeInt(const uint8_t*& data, std::size_t& size);

// Logging on at its most detailed level, so that every log argument is evaluated; the lines go
// to standard error (the fuzz runs close it).
void InitLogging();

// The harness of one event type. From LLVMFuzzerInitialize: logging on, and every event of
// `type` to `handle` through a Bus. From LLVMFuzzerTestOneInput: the input as that event.
void ListenTo(const char* type, ubus::Listener::Handler handle);
void DeliverInput(const uint8_t* data, std::size_t size);

}  // namespace fuzz
