// "brelix.websocket" as blehub (cloud commands) and wsbridge (subscription requests) read it.
#include <cstdlib>

#include "bus.h"
#include "channel_protocol.h"
#include "hub_events.h"

namespace {

fuzz::Bus* bus = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    bus = new fuzz::Bus;
    bus->Register("brelix.websocket", [](const char* json) {
        hub_events::ParseWebsocketEvent(json);
        if (auto request = channel::ParseSubscription(json)) {
            if (request->deviceId.empty())
                std::abort();
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bus->Deliver("brelix.websocket", fuzz::CText(data, size));
    return 0;
}
