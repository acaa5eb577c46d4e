// "wps_credentials" as provd reads it.
#include <memory>

#include "bus.h"
#include "provisioner.h"

namespace {

fuzz::Bus* bus = nullptr;
Provisioner* provisioner = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    provisioner = new Provisioner(std::make_unique<NVRAM>());
    bus = new fuzz::Bus;
    bus->Register("wps_credentials", [](const char* json) { provisioner->WPSEventHandler(json); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bus->Deliver("wps_credentials", fuzz::CText(data, size));
    return 0;
}
