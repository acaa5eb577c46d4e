#pragma once

#include <chrono>
#include <string>

#include "timer_queue.h"

// Status events on "brelix.status": heartbeats ({"evt":{"hb":code}}) and error reports
// ({"evt":{"err":code}}) for the supervisor.
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
// Cancelling the queue's timers (or destroying it) ends it.
class Sender {
  public:
    Sender(timer::TimerQueue& timers, int processCode, std::chrono::seconds period)
        : timers_(timers), code_(processCode), period_(period) {}

    void Start(std::chrono::seconds first);
    void Handler(bool aborted);

  private:
    timer::TimerQueue& timers_;
    int code_;
    std::chrono::seconds period_;
};

}  // namespace heartbeat
