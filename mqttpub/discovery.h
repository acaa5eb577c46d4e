#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mqtt_message.h"

// Letters, digits, '_' and '-' only, 1 to 64 of them: what Home Assistant takes in an object id.
bool IsPlainId(const std::string& id);

// The node a device key belongs to: "AABBCCDDEEFF_2" is the third sensor of "AABBCCDDEEFF".
std::string NodeOfKey(const std::string& key);

// Home Assistant discovery: one retained config per device key and sensor type on
// "<prefix>/sensor/<gateway id>_<key>_<type>/config", sent at the first reading and again
// whenever Home Assistant or the broker may have lost it. Runs on the main thread only.
class Discovery {
  public:
    // Configs kept for sending again; readings of further sensors get none (logged, counted).
    static constexpr std::size_t kMaxEntities = 2048;
    static constexpr std::size_t kMaxConfigSize = 4096;

    Discovery(std::string prefix, std::string gateway_id);

    // The whitelisted node ids; nothing when they could not be read, and then no config is
    // cleared and every node is announced.
    void SetWhitelist(std::optional<std::vector<std::string>> nodes);

    // The config for a reading of (key, type) when none went out yet.
    std::optional<MqttMessage> OnReading(const std::string& key, const std::string& type);
    // Every config sent so far.
    std::vector<MqttMessage> All() const;
    // A retained config seen on the broker: an empty retained message that clears it when it
    // is one of ours and its node is no longer whitelisted.
    std::optional<MqttMessage> OnRetained(const std::string& topic, const std::string& payload);

    std::string StatusTopic() const { return prefix_ + "/status"; }
    std::string ConfigFilter() const { return prefix_ + "/sensor/+/config"; }
    uint64_t Refused() const { return refused_; }

  private:
    std::string ConfigTopic(const std::string& key, const std::string& type) const;
    MqttMessage Config(const std::string& key, const std::string& type) const;
    bool Whitelisted(const std::string& key) const;

    std::string prefix_;
    std::string gateway_id_;
    std::optional<std::set<std::string>> whitelist_;
    std::set<std::pair<std::string, std::string>> announced_;
    std::set<std::pair<std::string, std::string>> unannounceable_;  // logged once each
    uint64_t refused_ = 0;  // readings whose sensor got no config
};
