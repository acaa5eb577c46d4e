#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "service_control.h"

namespace supervd_test {

// Stands in for "rc": records "name action" of every call; a call named by Hold waits until
// Release.
class FakeRc {
  public:
    supervd::ServiceFn Fn() {
        return [this](const std::string& name, const std::string& action) {
            std::unique_lock<std::mutex> lock(mutex_);
            const std::string call = name + " " + action;
            calls_.push_back(call);
            if (call == hold_) {
                holding_ = true;
                cv_.wait(lock, [&] { return !holding_; });
            }
            return answer_;
        };
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::size_t Count() { return Calls().size(); }
    void Hold(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = call;
    }
    bool Holding() {
        std::lock_guard<std::mutex> lock(mutex_);
        return holding_;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_.clear();
        holding_ = false;
        cv_.notify_all();
    }
    void Answer(bool ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = ok;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> calls_;
    std::string hold_;
    bool holding_ = false;
    bool answer_ = true;
};

}  // namespace supervd_test
