#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <vector>

// Devices heard since the last heartbeat POST that the server took, in order of first arrival.
// Bounded: a flood of made-up ids pushes the oldest out.
class ActiveNodes {
  public:
    static constexpr std::size_t kDefaultMaxIds = 1024;

    explicit ActiveNodes(std::size_t maxIds = kDefaultMaxIds) : max_ids_(maxIds) {}
    virtual ~ActiveNodes() = default;

    // Appends the id unless present; returns the list length.
    std::size_t Add(const std::string& device_id);
    // Ids pushed out by the bound since the last call.
    std::size_t TakeDropped();
    // Empties the list and returns what it held.
    std::vector<std::string> Take();
    // Puts ids whose POST failed back in front of those heard since.
    void Restore(const std::vector<std::string>& ids);

    // A compact JSON array of the ids: ["A","B"], or [] when nobody was heard.
    static std::string Body(const std::vector<std::string>& ids);

  private:
    void EnforceBound();  // caller holds active_mutex_

    const std::size_t max_ids_;
    std::mutex active_mutex_;
    std::list<std::string> active_nodes_;
    std::size_t dropped_ = 0;
};
