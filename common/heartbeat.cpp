#include "heartbeat.h"

#include <nlohmann/json.hpp>

#include "log.h"
#include "ubus.h"

namespace heartbeat {

namespace {
bool SendStatus(const char* key, int code) {
    nlohmann::json payload;
    payload["evt"][key] = code;
    ubus::Sender sender(30);
    return sender.SendEvent(kStatusEvent, payload.dump());
}
}  // namespace

bool SendHeartbeat(int processCode) {
    return SendStatus("hb", processCode);
}

bool SendError(int errorCode) {
    return SendStatus("err", errorCode);
}

void Sender::Start(std::chrono::seconds first) {
    timers_.Add(first, [this](bool aborted) { Handler(aborted); });
}

void Sender::Handler(bool aborted) {
    if (aborted)
        return;
    if (!SendHeartbeat(code_)) {
        LOGW << "heartbeat " << code_ << " not sent";
    }
    timers_.Add(period_, [this](bool a) { Handler(a); });
}

}  // namespace heartbeat
