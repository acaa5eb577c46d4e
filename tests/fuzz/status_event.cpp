// "brelix.status" (heartbeats and error reports) as supervd reads it.
#include "status_event.h"
#include "bus.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ListenTo("brelix.status", [](const char* json) { supervd::ParseStatusEvent(json); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::DeliverInput(data, size);
    return 0;
}
