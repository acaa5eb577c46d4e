// "brelix.manager" as blehub, reportd, mqttpub and wsbridge read it.
#include <cstdlib>

#include "bus.h"
#include "hub_events.h"
#include "mailbox.h"
#include "manager_event.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ListenTo("brelix.manager", [](const char* json) {
        hub_events::ParseManagerEvent(json);
        for (int32_t code : ParseManagerEvent(json)) {
            if (code < mailbox::kWlanDisconnected || code > mailbox::kInternetConnected)
                std::abort();
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::DeliverInput(data, size);
    return 0;
}
