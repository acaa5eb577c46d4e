// The cloud's answers to reportd's report and heartbeat POSTs.
#include "bus.h"
#include "cloud_report.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    http::Response answer;
    answer.code = fuzz::TakeInt(data, size);
    answer.status = fuzz::TakeInt(data, size);
    answer.text = std::string(reinterpret_cast<const char*>(data), size);
    const PostFn post = [&](const std::string&, const std::vector<std::string>&,
                            const std::string&) { return answer; };
    ReportSensorData("https://cloud.example.com", "token", "{}", post);
    ReportHeartBeat("https://cloud.example.com", "token", "{}", post);
    return 0;
}
