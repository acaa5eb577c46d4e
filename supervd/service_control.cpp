#include "service_control.h"

#include <nlohmann/json.hpp>

#include "heartbeat.h"
#include "log.h"
#include "ubus.h"

namespace supervd {

bool ServiceCtrl(const std::string& name, const std::string& action, int timeoutSeconds) {
    try {
        const std::string args = nlohmann::json{{"name", name}, {"action", action}}.dump();
        LOGV << args;
        ubus::Sender sender(timeoutSeconds);
        const bool ok = sender.Invoke("rc", "init", args, [](const char* reply) { LOGV << reply; });
        if (!ok) {
            LOGE << "rc " << action << " of " << name << " failed";
        }
        return ok;
    } catch (const std::exception& e) {
        LOGE << e.what();
        return false;
    }
}

std::string ServiceOfCode(int code) {
    switch (code) {
        case heartbeat::kBlehub:
            return "blehub";
        case heartbeat::kReportd:
            return "reportd";
        case heartbeat::kMqttpub:
            return "mqttpub";
        case heartbeat::kWsbridge:
            return "wsbridge";
        case heartbeat::kWlancfgd:
            return "wlancfgd";
        default:
            return "";
    }
}

BluetoothRecovery::BluetoothRecovery(ServiceFn service, std::function<void()> before, Pauses pauses,
                                     timer::TimeSource& time)
    : service_(std::move(service)), before_(std::move(before)), pauses_(pauses), time_(time) {}

BluetoothRecovery::~BluetoothRecovery() {
    Stop();
}

bool BluetoothRecovery::Start() {
    if (recovering_.load())
        return false;
    if (thread_.joinable())
        thread_.join();  // the last one has ended: it cleared the flag as its last step
    stopping_.store(false);
    recovering_.store(true);
    thread_ = std::thread(&BluetoothRecovery::Sequence, this);
    return true;
}

void BluetoothRecovery::Stop() {
    stopping_.store(true);
    wake_.Signal();
    Join();
}

void BluetoothRecovery::Join() {
    if (thread_.joinable())
        thread_.join();
}

bool BluetoothRecovery::Pause(std::chrono::milliseconds duration) {
    const auto deadline = time_.Now() + duration;
    while (!stopping_.load() && time_.Now() < deadline)
        time_.WaitUntil(wake_, deadline);
    return !stopping_.load();
}

void BluetoothRecovery::Sequence() {
    struct Step {
        const char* service;
        const char* action;
        std::chrono::milliseconds wait_before;
    };
    const Step steps[] = {
        {"blehub", "stop", {}},
        {"bluetoothd", "stop", {}},
        {"hci_cfg", "restart", {}},
        {"bluetoothd", "start", pauses_.after_hci},
        {"blehub", "start", pauses_.after_bluetoothd},
    };
    LOGI << "Bluetooth recovery";
    if (before_)
        before_();
    // Each step waits for the one before; a failed call does not end the sequence.
    bool done = true;
    for (const Step& step : steps) {
        if (stopping_.load() || !Pause(step.wait_before)) {
            done = false;
            break;
        }
        service_(step.service, step.action);
    }
    if (done) {
        LOGI << "Bluetooth recovery done";
    } else {
        LOGW << "Bluetooth recovery abandoned at stop";
    }
    recovering_.store(false);
}

}  // namespace supervd
