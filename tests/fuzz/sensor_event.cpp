// "brelix.sensor" as reportd (kept, then reported) and mqttpub (published) read it.
#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "bus.h"
#include "mqtt_message.h"
#include "reporter.h"
#include "sensor_event.h"

namespace {

Reporter* reporter = nullptr;
int inputs = 0;

// State carries over between inputs, but only for a while: reportd reports once a minute,
// and a store that had heard every made-up device of millions of inputs would make each
// input cost thousands of times more than the first ones did.
constexpr int kInputsPerReporter = 1000;

void NewReporter() {
    delete reporter;
    auto nvram = std::make_unique<NVRAM>();
    nvram->max_samples = 64;
    nvram->journal = 0;  // the parsing is fuzzed here, not the journal's files
    reporter = new Reporter(std::move(nvram), timer::SteadyTime(), [](auto&&...) {
        return http::Response{200, "", 200};
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    NewReporter();
    fuzz::ListenTo("brelix.sensor", [](const char* json) {
        reporter->UBUSSensorHandler(json);
        if (auto event = ParseSensorEvent(json))
            BuildMqttMessage(*event);
    });
    // The reporter's thread reads the clock and its listener the bus's registry, statics made
    // above: it must be gone before they are destroyed at exit.
    std::atexit([] {
        delete reporter;
        reporter = nullptr;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (++inputs % kInputsPerReporter == 0)
        NewReporter();
    fuzz::DeliverInput(data, size);
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
