// The decrypted provisioning document as provd checks and applies it (the settings store
// accepts every change).
#include <vector>

#include "bus.h"
#include "provisioner.h"

namespace {

Provisioner* provisioner = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    provisioner = new Provisioner(std::make_unique<NVRAM>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    provisioner->ApplyDocument(std::vector<unsigned char>(data, data + size));
    return 0;
}
