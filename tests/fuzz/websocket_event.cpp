// "brelix.websocket" as blehub (cloud commands) and wsbridge (subscription requests) read it.
#include <cstdlib>

#include "bus.h"
#include "channel_protocol.h"
#include "hub_events.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ListenTo("brelix.websocket", [](const char* json) {
        hub_events::ParseWebsocketEvent(json);
        if (auto request = channel::ParseSubscription(json)) {
            if (request->deviceId.empty())
                std::abort();
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::DeliverInput(data, size);
    return 0;
}
