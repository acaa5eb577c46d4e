// "brelix.sensor" as reportd (kept, then reported) and mqttpub (published) read it.
#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "bus.h"
#include "mqtt_message.h"
#include "reporter.h"
#include "sensor_event.h"

namespace {

fuzz::Bus* bus = nullptr;
Reporter* reporter = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    auto nvram = std::make_unique<NVRAM>();
    nvram->max_samples = 64;
    reporter = new Reporter(std::move(nvram), timer::SteadyTime(), [](auto&&...) {
        return http::Response{200, "", 200};
    });
    bus = new fuzz::Bus;
    bus->Register("brelix.sensor", [](const char* json) {
        reporter->UBUSSensorHandler(json);
        if (auto event = ParseSensorEvent(json))
            BuildMqttMessage(*event);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bus->Deliver("brelix.sensor", fuzz::CText(data, size));
    while (reporter->MessageHandler()) {
    }
    // What reportd posts must be JSON the cloud can read.
    for (;;) {
        auto [body, any] = reporter->CollectReport();
        if (!any)
            break;
        if (!nlohmann::json::accept(body))
            std::abort();
    }
    if (!nlohmann::json::accept(reporter->CollectHeartBeat()))
        std::abort();
    return 0;
}
