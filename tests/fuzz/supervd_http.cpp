// The cloud's answers to supervd's device authorization requests.
#include "authorization.h"
#include "bus.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    http::Response answer;
    answer.code = fuzz::TakeInt(data, size);
    answer.status = answer.code;
    answer.text = std::string(reinterpret_cast<const char*>(data), size);
    const supervd::PostFn post = [&](const std::string&, const std::vector<std::string>&,
                                     const std::string&) { return answer; };
    supervd::AuthenticationRequest("https://cloud.example.com", "GW0001", post);
    supervd::AuthenticationVerify("https://cloud.example.com", "GW0001", "code", "client", "secret",
                                  post);
    return 0;
}
