#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "series_ring.h"

// What the hub tells about its nodes on its status object: each whitelisted node it has come
// across, its state and its sensors' last values and rings. Worker loop only. Bounded: nodes
// are whitelisted ids, and a node keeps at most kMaxSensors sensors.
class NodeStatus {
  public:
    enum class State { kSeen, kConnecting, kServed, kFailed };
    static constexpr std::size_t kMaxSensors = 16;
    static constexpr std::size_t kMaxNodes = 256;

    // Live facts of a node in the table, added when the answer is made.
    struct Live {
        std::string name;
        std::string firmware;
        std::optional<int> rssi;
        int64_t lastClockUpdate = 0;  // Unix seconds, 0: never
    };

    // `now` is Unix seconds throughout.
    void Seen(const std::string& id, std::optional<int> rssi, int64_t now);
    void Connecting(const std::string& id, int64_t now);
    void Served(const std::string& id, int64_t now);
    void Failed(const std::string& id);
    void Retry(const std::string& id);
    // A published reading of sensor `key` (the node's id, or id_index) of `type`.
    void Reading(const std::string& id, const std::string& key, const std::string& type,
                 double value, int64_t now);
    void Update(const std::string& id, const Live& live);

    // The nodes as a JSON array; with `history`, each sensor carries its ring.
    nlohmann::json Json(int64_t now, bool history) const;
    std::vector<std::string> Ids() const;

  private:
    struct Sensor {
        std::string key;
        std::string type;
        double value = 0;
        int64_t time = 0;
        uint64_t count = 0;
        SeriesRing ring;
    };
    struct Record {
        State state = State::kSeen;
        Live live;
        int64_t lastSeen = 0;
        int64_t connectedSince = 0;
        uint64_t retries = 0;
        std::map<std::string, Sensor> sensors;  // by key + "/" + type
    };
    Record* Find(const std::string& id, int64_t now);

    std::map<std::string, Record> nodes_;
};

const char* StateName(NodeStatus::State state);
