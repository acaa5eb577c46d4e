// "brelix.status" (heartbeats and error reports) as supervd reads it.
#include "status_event.h"
#include "bus.h"

namespace {

fuzz::Bus* bus = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    bus = new fuzz::Bus;
    bus->Register("brelix.status", [](const char* json) { supervd::ParseStatusEvent(json); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bus->Deliver("brelix.status", fuzz::CText(data, size));
    return 0;
}
