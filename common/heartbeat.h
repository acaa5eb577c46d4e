#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "timer_queue.h"

// Status events on "brelix.status": heartbeats ({"evt":{"hb":code,"pid":pid}}) and error
// reports ({"evt":{"err":code}}) for the supervisor.
namespace heartbeat {

enum ProcessCode : int {
    kBlehub = 1000,
    kReportd = 1001,
    kMqttpub = 1002,
    kWsbridge = 1003,
    kWlancfgd = 1004,
};

constexpr const char* kStatusEvent = "brelix.status";

bool SendHeartbeat(int processCode);
bool SendError(int errorCode);

// A heartbeat that re-arms itself on a timer queue: first after `first`, then every `period`.
// Cancelling the queue's timers (or destroying it) ends it, unless its handler is running
// at that moment: Stop ends it in every case.
class Sender {
  public:
    Sender(timer::TimerQueue& timers, int processCode, std::chrono::seconds period)
        : timers_(timers), code_(processCode), period_(period) {}

    void Start(std::chrono::seconds first);
    // No heartbeat after this one returns: the pending one is cancelled and a running
    // handler neither sends nor re-arms.
    void Stop();
    void Handler(bool aborted);

  private:
    void Arm(std::chrono::seconds delay);  // with mutex_ held

    timer::TimerQueue& timers_;
    int code_;
    std::chrono::seconds period_;
    std::mutex mutex_;
    bool stopped_ = false;
    uint64_t pending_ = 0;  // timer id of the next heartbeat
};

}  // namespace heartbeat
