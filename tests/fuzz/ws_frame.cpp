// Text frames from the cloud as wsbridge reads them; a sensor command it relays must be an
// event blehub takes.
#include <cstdlib>
#include <string>

#include "bus.h"
#include "channel_protocol.h"
#include "hub_events.h"
#include "ubus_payload.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string frame(reinterpret_cast<const char*>(data), size);
    auto relay = channel::ParseFrame(frame);
    if (!relay)
        return 0;
    std::string compact;
    if (!ubus::payload::CompactObject(relay->event.dump().c_str(), compact))
        std::abort();
    auto command = hub_events::ParseWebsocketEvent(compact.c_str());
    if (!command || command->code != relay->code)
        std::abort();
    return 0;
}
