// blehub's device store: one anonymous "node" section of "halvex" per stored sensor, with
// "obj_path", "device_id", "bt_addr" and "time".
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>

#include "log.h"
#include "nvram.h"

using nlohmann::json;

namespace {

constexpr const char* kNodeType = "node";

// The sections of a typed "get" answer in UCI order (the answer is keyed by section name).
std::vector<json> SectionsInOrder(const json& values) {
    std::vector<json> sections;
    if (!values.is_object())
        return sections;
    for (const auto& [name, section] : values.items()) {
        if (section.is_object())
            sections.push_back(section);
    }
    auto index = [](const json& section) {
        auto it = section.find(".index");
        return it != section.end() && it->is_number_integer() ? it->get<int64_t>() : INT64_MAX;
    };
    std::stable_sort(sections.begin(), sections.end(),
                     [&](const json& a, const json& b) { return index(a) < index(b); });
    return sections;
}

// The option `key` of a section when it is a text; empty otherwise.
std::string Option(const json& section, const char* key) {
    auto it = section.find(key);
    return it != section.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

void NVRAM::LoadNodePaths() {
    try {
        std::vector<std::string> paths;
        for (const auto& section : SectionsInOrder(uci.Get(kConfig, kNodeType, json::object()))) {
            std::string path = Option(section, "obj_path");
            if (!path.empty())
                paths.push_back(std::move(path));
        }
        nodePaths = std::move(paths);
    } catch (const std::exception& e) {
        LOGE << e.what();
    }
}

std::vector<std::string> NVRAM::NodeIds() {
    std::vector<std::string> ids;
    try {
        for (const auto& section : SectionsInOrder(uci.Get(kConfig, kNodeType, json::object()))) {
            std::string id = Option(section, "device_id");
            if (!id.empty())
                ids.push_back(std::move(id));
        }
    } catch (const std::exception& e) {
        LOGE << e.what();
    }
    return ids;
}

bool NVRAM::IsWhitelisted(const std::string& deviceId) const {
    return std::find(whitelist.begin(), whitelist.end(), deviceId) != whitelist.end();
}

bool NVRAM::HasNodePath(const std::string& path) {
    return !SectionsInOrder(uci.Get(kConfig, kNodeType, json{{"obj_path", path}})).empty();
}

void NVRAM::SaveNode(const std::string& path, const std::string& deviceId,
                     const std::string& address) {
    // One record per device: met again at another address, it replaces its old record.
    if (!SectionsInOrder(uci.Get(kConfig, kNodeType, json{{"device_id", deviceId}})).empty())
        uci.Delete(kConfig, kNodeType, json{{"device_id", deviceId}});
    if (HasNodePath(path))
        uci.Delete(kConfig, kNodeType, json{{"obj_path", path}});
    uci.Add(kConfig, kNodeType,
            json{{"obj_path", path},
                 {"device_id", deviceId},
                 {"bt_addr", address},
                 {"time", static_cast<int64_t>(std::time(nullptr))}});
    uci.Commit(kConfig);
}

void NVRAM::RemoveNode(const std::string& path) {
    uci.Delete(kConfig, kNodeType, json{{"obj_path", path}});
    uci.Commit(kConfig);
}

std::optional<std::string> NVRAM::FindNodePath(const std::string& deviceId) {
    for (const auto& section :
         SectionsInOrder(uci.Get(kConfig, kNodeType, json{{"device_id", deviceId}}))) {
        std::string path = Option(section, "obj_path");
        if (!path.empty())
            return path;
    }
    return std::nullopt;
}

std::string NVRAM::FindNodeId(const std::string& path) {
    const auto sections = SectionsInOrder(uci.Get(kConfig, kNodeType, json{{"obj_path", path}}));
    return sections.empty() ? std::string() : Option(sections.front(), "device_id");
}

std::string NVRAM::FindNodeAddress(const std::string& deviceId) {
    std::string path;
    for (const auto& section :
         SectionsInOrder(uci.Get(kConfig, kNodeType, json{{"device_id", deviceId}}))) {
        std::string address = Option(section, "bt_addr");
        if (!address.empty())
            return address;
        if (path.empty())
            path = Option(section, "obj_path");
    }
    // A BlueZ device path ends with the address, '_' in place of ':'.
    constexpr std::size_t kAddressLength = 17;
    if (path.size() < kAddressLength)
        return std::string();
    std::string address = path.substr(path.size() - kAddressLength);
    std::replace(address.begin(), address.end(), '_', ':');
    return address;
}
