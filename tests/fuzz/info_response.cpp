// blehub: a node's answer to the information request, read off its command characteristic.
#include <algorithm>
#include <cstdlib>

#include "bus.h"
#include "node_protocol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const node_protocol::Bytes bytes(data, data + size);
    node_protocol::NodeInfo info;
    if (node_protocol::ParseInfoResponse(bytes, info) == node_protocol::InfoStatus::kOk) {
        if (info.name.size() > 10 || info.name.find('\0') != std::string::npos)
            std::abort();
    }
    return 0;
}
