// "wps_credentials" as provd reads it.
#include <memory>

#include "bus.h"
#include "provisioner.h"

namespace {

Provisioner* provisioner = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    provisioner = new Provisioner(std::make_unique<NVRAM>());
    fuzz::ListenTo("wps_credentials", [](const char* json) { provisioner->WPSEventHandler(json); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::DeliverInput(data, size);
    return 0;
}
