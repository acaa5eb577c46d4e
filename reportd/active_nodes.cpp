#include "active_nodes.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

std::size_t ActiveNodes::Add(const std::string& device_id) {
    std::lock_guard<std::mutex> lock(active_mutex_);
    if (std::find(active_nodes_.begin(), active_nodes_.end(), device_id) == active_nodes_.end()) {
        active_nodes_.push_back(device_id);
        EnforceBound();
    }
    return active_nodes_.size();
}

void ActiveNodes::EnforceBound() {
    while (active_nodes_.size() > max_ids_) {
        active_nodes_.pop_front();
        ++dropped_;
    }
}

std::size_t ActiveNodes::TakeDropped() {
    std::lock_guard<std::mutex> lock(active_mutex_);
    return std::exchange(dropped_, 0);
}

std::vector<std::string> ActiveNodes::Take() {
    std::lock_guard<std::mutex> lock(active_mutex_);
    std::vector<std::string> ids(active_nodes_.begin(), active_nodes_.end());
    active_nodes_.clear();
    return ids;
}

void ActiveNodes::Restore(const std::vector<std::string>& ids) {
    std::lock_guard<std::mutex> lock(active_mutex_);
    std::list<std::string> merged(ids.begin(), ids.end());
    for (auto& id : active_nodes_) {
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            merged.push_back(std::move(id));
    }
    active_nodes_.swap(merged);
    EnforceBound();
}

std::string ActiveNodes::Body(const std::vector<std::string>& ids) {
    return nlohmann::json(ids).dump();
}
