#include "heartbeat.h"

#include <unistd.h>

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
    // The pid tells the supervisor a respawned process from the one before it, even when
    // the new one's heartbeats follow within the time-out; older supervisors ignore it.
    nlohmann::json payload;
    payload["evt"]["hb"] = processCode;
    payload["evt"]["pid"] = static_cast<int64_t>(getpid());
    ubus::Sender sender(30);
    return sender.SendEvent(kStatusEvent, payload.dump());
}

bool SendError(int errorCode) {
    return SendStatus("err", errorCode);
}

void Sender::Start(std::chrono::seconds first) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_)
        Arm(first);
}

void Sender::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    timers_.Cancel(pending_);
}

void Sender::Arm(std::chrono::seconds delay) {
    pending_ = timers_.Add(delay, [this](bool aborted) { Handler(aborted); });
}

void Sender::Handler(bool aborted) {
    if (aborted)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
    }
    if (!SendHeartbeat(code_)) {
        LOGW << "heartbeat " << code_ << " not sent";
    }
    // Re-armed under the lock: a Stop during the send keeps this from arming the next one.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_)
        Arm(period_);
}

}  // namespace heartbeat
