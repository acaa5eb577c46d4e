// "network.interface" as supervd and provd read it.
#include <memory>

#include "bus.h"
#include "provisioner.h"
#include "status_event.h"

namespace {

// Never destroyed at exit: the bus registry may be gone by then.
Provisioner* provisioner = nullptr;
unsigned runs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ListenTo("network.interface", [](const char* json) {
        supervd::ParseInterfaceEvent(json);
        provisioner->IfaceEventHandler(json);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // provd queues a message per "wan" event and nothing takes them here: a fresh one now
    // and then keeps the queue small.
    if (runs++ % 4096 == 0) {
        delete provisioner;
        provisioner = new Provisioner(std::make_unique<NVRAM>());
    }
    fuzz::DeliverInput(data, size);
    return 0;
}
