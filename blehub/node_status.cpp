#include "node_status.h"

namespace {

nlohmann::json TimeOrNull(int64_t seconds) {
    return seconds > 0 ? nlohmann::json(seconds) : nlohmann::json(nullptr);
}

}  // namespace

const char* StateName(NodeStatus::State state) {
    switch (state) {
        case NodeStatus::State::kSeen:
            return "seen";
        case NodeStatus::State::kConnecting:
            return "connecting";
        case NodeStatus::State::kServed:
            return "served";
        case NodeStatus::State::kFailed:
            return "failed";
    }
    return "seen";
}

NodeStatus::Record* NodeStatus::Find(const std::string& id, int64_t now) {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) {
        if (nodes_.size() >= kMaxNodes)
            return nullptr;
        it = nodes_.emplace(id, Record{}).first;
    }
    if (now > 0)
        it->second.lastSeen = now;
    return &it->second;
}

void NodeStatus::Seen(const std::string& id, std::optional<int> rssi, int64_t now) {
    Record* node = Find(id, now);
    if (node == nullptr)
        return;
    if (rssi)
        node->live.rssi = rssi;
    // Advertising while connected or connecting says nothing new about the link.
    if (node->state == State::kFailed)
        node->state = State::kSeen;
}

void NodeStatus::Connecting(const std::string& id, int64_t now) {
    if (Record* node = Find(id, now))
        node->state = State::kConnecting;
}

void NodeStatus::Served(const std::string& id, int64_t now) {
    Record* node = Find(id, now);
    if (node == nullptr || node->state == State::kServed)
        return;
    node->state = State::kServed;
    node->connectedSince = now;
}

void NodeStatus::Failed(const std::string& id) {
    auto it = nodes_.find(id);
    if (it == nodes_.end())
        return;
    it->second.state = State::kFailed;
    it->second.connectedSince = 0;
}

void NodeStatus::Retry(const std::string& id) {
    auto it = nodes_.find(id);
    if (it != nodes_.end())
        ++it->second.retries;
}

void NodeStatus::Reading(const std::string& id, const std::string& key, const std::string& type,
                         double value, int64_t now) {
    Record* node = Find(id, now);
    if (node == nullptr)
        return;
    const std::string slot = key + "/" + type;
    auto it = node->sensors.find(slot);
    if (it == node->sensors.end()) {
        if (node->sensors.size() >= kMaxSensors)
            return;
        Sensor fresh;
        fresh.key = key;
        fresh.type = type;
        it = node->sensors.emplace(slot, std::move(fresh)).first;
    }
    Sensor& sensor = it->second;
    sensor.value = value;
    sensor.time = now;
    ++sensor.count;
    sensor.ring.Add(now, static_cast<float>(value));
}

void NodeStatus::Update(const std::string& id, const Live& live) {
    auto it = nodes_.find(id);
    if (it == nodes_.end())
        return;
    Live& kept = it->second.live;
    if (!live.name.empty())
        kept.name = live.name;
    if (!live.firmware.empty())
        kept.firmware = live.firmware;
    if (live.rssi)
        kept.rssi = live.rssi;
    if (live.lastClockUpdate > 0)
        kept.lastClockUpdate = live.lastClockUpdate;
}

std::vector<std::string> NodeStatus::Ids() const {
    std::vector<std::string> ids;
    for (const auto& entry : nodes_)
        ids.push_back(entry.first);
    return ids;
}

nlohmann::json NodeStatus::Json(int64_t now, bool history) const {
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto& [id, node] : nodes_) {
        nlohmann::json sensors = nlohmann::json::array();
        for (const auto& [slot, sensor] : node.sensors) {
            nlohmann::json entry = {{"key", sensor.key},
                                    {"type", sensor.type},
                                    {"value", sensor.value},
                                    {"time", sensor.time},
                                    {"count", sensor.count}};
            if (history)
                entry["history"] = sensor.ring.Json(now);
            sensors.push_back(std::move(entry));
        }
        nodes.push_back({{"id", id},
                         {"name", node.live.name},
                         {"firmware", node.live.firmware},
                         {"state", StateName(node.state)},
                         {"rssi", node.live.rssi ? nlohmann::json(*node.live.rssi) : nullptr},
                         {"last_seen", TimeOrNull(node.lastSeen)},
                         {"connected_since", TimeOrNull(node.connectedSince)},
                         {"retries", node.retries},
                         {"last_clock_update", TimeOrNull(node.live.lastClockUpdate)},
                         {"sensors", std::move(sensors)}});
    }
    return nodes;
}
