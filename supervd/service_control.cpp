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
                                     RecoveryBackoff::Times backoff, timer::TimeSource& time)
    : service_(std::move(service)),
      before_(std::move(before)),
      pauses_(pauses),
      backoff_(backoff),
      time_(time) {}

BluetoothRecovery::~BluetoothRecovery() {
    Stop();
}

bool BluetoothRecovery::Start() {
    if (recovering_.load()) {
        // A report from the stack being restarted, or from anyone on the bus: the recovery
        // under way or waiting answers it.
        if (counted_++ == counted_since_) {
            LOGI << "Bluetooth recovery already pending : report counted";
        }
        return false;
    }
    if (thread_.joinable()) {
        thread_.join();  // the last one has ended: it cleared the flag as its last step
        backoff_.Ended(ended_at_);
    }
    if (counted_ > counted_since_) {
        LOGI << counted_ - counted_since_ << " Bluetooth reports counted while the last recovery "
             << "was pending";
    }
    counted_since_ = counted_;
    const auto wait = backoff_.Next(time_.Now());
    stopping_.store(false);
    recovering_.store(true);
    thread_ = std::thread(&BluetoothRecovery::Sequence, this, wait);
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

void BluetoothRecovery::Sequence(timer::Clock::duration wait) {
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
    bool done = true;
    if (wait > timer::Clock::duration(0)) {
        LOGI << "Bluetooth recovery in "
             << std::chrono::duration_cast<std::chrono::seconds>(wait).count() << " s";
        done = Pause(std::chrono::duration_cast<std::chrono::milliseconds>(wait));
    }
    std::string failed;
    if (done) {
        LOGI << "Bluetooth recovery";
        if (before_)
            before_();
    }
    // Each step waits for the one before; a failed call does not end the sequence.
    for (const Step& step : steps) {
        if (!done || stopping_.load() || !Pause(step.wait_before)) {
            done = false;
            break;
        }
        if (!service_(step.service, step.action)) {
            failed += failed.empty() ? "" : ", ";
            failed += std::string(step.service) + " " + step.action;
        }
    }
    if (!done) {
        LOGW << "Bluetooth recovery abandoned at stop";
    } else if (!failed.empty()) {
        LOGE << "Bluetooth recovery failed : " << failed;
    } else {
        LOGI << "Bluetooth recovery done";
    }
    ended_at_ = time_.Now();
    recovering_.store(false);
}

}  // namespace supervd
