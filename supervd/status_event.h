#pragma once

#include <cstdint>
#include <vector>

#include "mailbox.h"

// What the supervisor's two event handlers queue. Unusable input gets one error line and
// queues nothing (for "brelix.status": nothing for that member).
namespace supervd {

// Payload of message 3000: the process code, and the sender's process id (0 when the
// heartbeat carries none, as from an older sender).
struct Heartbeat {
    int code = 0;
    int64_t pid = 0;
};

// "brelix.status": {"evt":{"err":2002,"hb":1000,"pid":7}} gives 3002 (2002) then 3000
// (1000, pid 7), in the order of the keys; the payload of 3002 is a heap int, of 3000 a
// Heartbeat. An unusable "pid" is logged and the heartbeat kept without it.
std::vector<mailbox::Message> ParseStatusEvent(const char* text);

// "network.interface": {"action":"ifdown","interface":"wan"} gives 3003, "ifup" 3004; other
// interfaces and actions give nothing.
std::vector<mailbox::Message> ParseInterfaceEvent(const char* text);

}  // namespace supervd
