// blehub: the 11-byte frame a node notifies on its data characteristic, decoded and published
// as "brelix.sensor"; the event must be one the daemons reading it take.
#include <cstdlib>

#include "bus.h"
#include "mqtt_message.h"
#include "sensor_data.h"
#include "sensor_event.h"
#include "ubus_payload.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size != kSensorFrameSize)
        return -1;  // the hub drops frames of another size before decoding
    auto [reading, index] = SensorDataToJson(data);
    if (reading.is_null())
        return 0;
    const auto type = reading.find("k");
    if (type == reading.end() || !type->is_string() || !reading.contains("ts"))
        std::abort();
    const std::string payload =
        SensorEventPayload(SensorDeviceKey("AABBCCDDEEFF", index), *type, reading);
    std::string compact;
    if (!ubus::payload::CompactObject(payload.c_str(), compact))
        std::abort();
    auto event = ParseSensorEvent(compact.c_str());
    if (!event || !BuildMqttMessage(*event))
        std::abort();
    return 0;
}
