// The cloud's answers to reportd's report and heartbeat POSTs.
#include <fuzzer/FuzzedDataProvider.h>

#include "bus.h"
#include "cloud_report.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    http::Response answer;
    answer.code = input.ConsumeIntegral<int>();
    answer.status = input.ConsumeIntegral<int>();
    answer.text = input.ConsumeRemainingBytesAsString();
    const PostFn post = [&](const std::string&, const std::vector<std::string>&,
                            const std::string&) { return answer; };
    ReportSensorData("https://cloud.example.com", "token", "{}", post);
    ReportHeartBeat("https://cloud.example.com", "token", "{}", post);
    return 0;
}
