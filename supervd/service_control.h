#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "recovery_backoff.h"
#include "semaphore.h"
#include "time_source.h"

namespace supervd {

// One "rc" "init" call: (service name, action) -> whether it succeeded.
using ServiceFn = std::function<bool(const std::string& name, const std::string& action)>;

// Calls "rc" "init" {"name","action"} and waits for the answer (the action is done then).
bool ServiceCtrl(const std::string& name, const std::string& action, int timeoutSeconds = 30);

// The init service that a process code names; "" for none (1005 and unknown codes).
std::string ServiceOfCode(int code);

// Restarts the Bluetooth stack on its own thread: blehub and bluetoothd stop, the controller
// is configured again, bluetoothd and then blehub start. One at a time, after the back-off's
// wait; a request while one waits or runs is counted, not acted on. The thread is joined,
// never left to run on a destroyed owner.
class BluetoothRecovery {
  public:
    struct Pauses {
        std::chrono::milliseconds after_hci{1000};         // before bluetoothd starts
        std::chrono::milliseconds after_bluetoothd{2000};  // before blehub starts
    };

    // `before` runs on the recovery thread first (the owner forgets blehub's heartbeat).
    BluetoothRecovery(ServiceFn service, std::function<void()> before, Pauses pauses,
                      RecoveryBackoff::Times backoff,
                      timer::TimeSource& time = timer::SteadyTime());
    BluetoothRecovery(const BluetoothRecovery&) = delete;
    BluetoothRecovery& operator=(const BluetoothRecovery&) = delete;
    virtual ~BluetoothRecovery();

    // Starts a recovery (it may wait first); false when one is waiting or running: the
    // request is counted.
    bool Start();
    // Waiting or running.
    bool Running() const { return recovering_.load(); }
    // Requests counted while one was waiting or running (main thread).
    std::size_t Counted() const { return counted_; }
    // The steps not yet begun are dropped; waits for the call under way at most.
    void Stop();
    // Waits until the recovery under way, if any, has ended.
    void Join();

  private:
    void Sequence(timer::Clock::duration wait);
    // False when stopped during the pause.
    bool Pause(std::chrono::milliseconds duration);

    ServiceFn service_;
    std::function<void()> before_;
    Pauses pauses_;
    RecoveryBackoff backoff_;  // main thread
    timer::TimeSource& time_;
    std::size_t counted_ = 0;            // main thread
    std::size_t counted_since_ = 0;      // main thread: this recovery's share of counted_
    timer::Clock::time_point ended_at_;  // written by the thread before it clears recovering_
    std::atomic<bool> recovering_{false};
    std::atomic<bool> stopping_{false};
    mutex::Semaphore wake_;
    std::thread thread_;
};

}  // namespace supervd
