#pragma once

#include <vector>

#include "mailbox.h"

// What the supervisor's two event handlers queue. Unusable input gets one error line and
// queues nothing (for "brelix.status": nothing for that member).
namespace supervd {

// "brelix.status": {"evt":{"err":2002,"hb":1000}} gives 3002 (2002) then 3000 (1000), in the
// order of the keys; the payload of each is a heap int.
std::vector<mailbox::Message> ParseStatusEvent(const char* text);

// "network.interface": {"action":"ifdown","interface":"wan"} gives 3003, "ifup" 3004; other
// interfaces and actions give nothing.
std::vector<mailbox::Message> ParseInterfaceEvent(const char* text);

}  // namespace supervd
