#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <vector>

// Devices heard since the last heartbeat POST that the server took, in order of first arrival.
class ActiveNodes {
  public:
    virtual ~ActiveNodes() = default;

    // Appends the id unless present; returns the list length.
    std::size_t Add(const std::string& device_id);
    // Empties the list and returns what it held.
    std::vector<std::string> Take();
    // Puts ids whose POST failed back in front of those heard since.
    void Restore(const std::vector<std::string>& ids);

    // A compact JSON array of the ids: ["A","B"], or [] when nobody was heard.
    static std::string Body(const std::vector<std::string>& ids);

  private:
    std::mutex active_mutex_;
    std::list<std::string> active_nodes_;
};
