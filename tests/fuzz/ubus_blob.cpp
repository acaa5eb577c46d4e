// The router's transport: a received message's data blob printed as JSON, as events and method
// replies reach the daemons. libubus has only checked that the blob fits the message; what it
// holds comes from whichever local process sent it. What is printed must be a JSON object.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <libubox/blob.h>
}

#include "bus.h"
#include "ubus_blob_json.h"
#include "ubus_payload.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(blob_attr))
        return -1;
    // Blobs sit aligned in libubus's receive buffer, as they do in a new allocation; one of
    // exactly the input's size, so that reading past it is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
    std::memcpy(bytes.get(), data, size);
    const auto* msg = reinterpret_cast<const blob_attr*>(bytes.get());
    if (blob_raw_len(msg) < sizeof(blob_attr) || blob_raw_len(msg) > size)
        return -1;  // libubus does not hand such a blob on

    std::string text;
    if (!ubus::blob::ToJson(msg, text))
        return 0;
    // The daemons' side takes it as it takes any payload.
    std::string compact;
    if (!ubus::payload::CompactObject(text.c_str(), compact))
        std::abort();
    return 0;
}
