#include "discovery.h"

#include <cctype>

#include <nlohmann/json.hpp>

#include "log.h"
#include "sensor_classes.h"

using nlohmann::json;

bool IsPlainId(const std::string& id) {
    if (id.empty() || id.size() > 64)
        return false;
    for (unsigned char c : id) {
        if (!std::isalnum(c) && c != '_' && c != '-')
            return false;
    }
    return true;
}

std::string NodeOfKey(const std::string& key) {
    const auto sep = key.rfind('_');
    if (sep == std::string::npos || sep == 0 || sep + 1 == key.size())
        return key;
    for (std::size_t i = sep + 1; i < key.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(key[i])))
            return key;
    }
    return key.substr(0, sep);
}

Discovery::Discovery(std::string prefix, std::string gateway_id)
    : prefix_(std::move(prefix)), gateway_id_(std::move(gateway_id)) {}

void Discovery::SetWhitelist(std::optional<std::vector<std::string>> nodes) {
    if (!nodes) {
        whitelist_.reset();
        return;
    }
    whitelist_.emplace(nodes->begin(), nodes->end());
    // Configs of removed nodes are cleared as the broker hands them back; until a node is
    // whitelisted again its readings announce nothing.
    for (auto it = announced_.begin(); it != announced_.end();) {
        it = Whitelisted(it->first) ? std::next(it) : announced_.erase(it);
    }
}

bool Discovery::Whitelisted(const std::string& key) const {
    return !whitelist_ || whitelist_->count(NodeOfKey(key)) > 0;
}

std::string Discovery::ConfigTopic(const std::string& key, const std::string& type) const {
    return prefix_ + "/sensor/" + gateway_id_ + "_" + key + "_" + type + "/config";
}

MqttMessage Discovery::Config(const std::string& key, const std::string& type) const {
    const SensorClass* c = FindSensorClass(type);
    const std::string node = NodeOfKey(key);
    json config = {
        {"name", node == key ? c->name : std::string(c->name) + " " + key.substr(node.size() + 1)},
        {"unique_id", gateway_id_ + "_" + key + "_" + type},
        {"state_topic", "brelix/" + key + "/" + type},
        {"value_template", "{{ value_json.v }}"},
        {"availability_topic", AvailabilityTopic(gateway_id_)},
        {"device",
         {{"identifiers", {"brelix_" + node}},
          {"name", node},
          {"via_device", "brelix_" + gateway_id_}}},
    };
    if (c->device_class)
        config["device_class"] = c->device_class;
    if (c->unit)
        config["unit_of_measurement"] = c->unit;
    if (c->state_class)
        config["state_class"] = c->state_class;
    return {ConfigTopic(key, type), config.dump()};
}

std::optional<MqttMessage> Discovery::OnReading(const std::string& key, const std::string& type) {
    auto entity = std::make_pair(key, type);
    if (announced_.count(entity) > 0)
        return std::nullopt;
    std::string why;
    if (!IsPlainId(key))
        why = "the device id is not a plain id";
    else if (!FindSensorClass(type))
        why = "unknown sensor type";
    else if (!Whitelisted(key))
        why = "the device is not whitelisted";
    else if (announced_.size() >= kMaxEntities)
        why = "already " + std::to_string(kMaxEntities) + " sensors announced";
    if (why.empty()) {
        announced_.insert(std::move(entity));
        return Config(key, type);
    }
    ++refused_;
    if (unannounceable_.size() < kMaxEntities && unannounceable_.insert(entity).second)
        LOGW << "No discovery config for \"" << key << "\" \"" << type << "\" : " << why;
    return std::nullopt;
}

std::vector<MqttMessage> Discovery::All() const {
    std::vector<MqttMessage> all;
    all.reserve(announced_.size());
    for (const auto& [key, type] : announced_)
        all.push_back(Config(key, type));
    return all;
}

std::optional<MqttMessage> Discovery::OnRetained(const std::string& topic,
                                                 const std::string& payload) {
    const std::string head = prefix_ + "/sensor/" + gateway_id_ + "_";
    const std::string tail = "/config";
    if (!whitelist_ || payload.empty() || topic.size() <= head.size() + tail.size() ||
        topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
        return std::nullopt;
    }
    // The config's own state topic names the sensor: object ids cannot be split reliably
    // ("PM_2_5", "_2" keys).
    std::string state_topic;
    if (payload.size() <= kMaxConfigSize) {
        try {
            state_topic = json::parse(payload).at("state_topic").get<std::string>();
        } catch (const std::exception&) {
        }
    }
    const auto first = state_topic.find('/');
    const auto last = state_topic.rfind('/');
    if (state_topic.compare(0, 7, "brelix/") != 0 || first == last) {
        LOGW << "Discovery config on " << logging::Quote(topic)
             << " ignored : no state topic of ours";
        return std::nullopt;
    }
    const std::string key = state_topic.substr(first + 1, last - first - 1);
    if (Whitelisted(key))
        return std::nullopt;
    announced_.erase({key, state_topic.substr(last + 1)});
    LOGI << "Discovery config of " << key << " cleared : not whitelisted";
    return MqttMessage{topic, std::string()};
}
