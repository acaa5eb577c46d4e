#include "node_table.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "log.h"

namespace {

struct Table {
    std::mutex mutex;
    std::vector<std::unique_ptr<Node>> nodes;
};

// Built on first use, so that it goes away before any longer-lived bus connection.
Table& TheTable() {
    static Table table;
    return table;
}

std::unique_ptr<Node>& Empty() {
    thread_local std::unique_ptr<Node> empty;
    empty.reset();
    return empty;
}

}  // namespace

void AddNode(std::unique_ptr<Node> node) {
    auto& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.nodes.push_back(std::move(node));
}

std::unique_ptr<Node>& FindNode(const std::string& deviceId) {
    auto& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& node : table.nodes) {
        if (node && node->DeviceId() == deviceId)
            return node;
    }
    return Empty();
}

std::unique_ptr<Node>& FindNodeByPath(const std::string& path) {
    auto& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& node : table.nodes) {
        if (!node)
            continue;
        const std::string devicePath = node->DevicePath();
        // A characteristic path starts with its device's path.
        if (!devicePath.empty() && path.compare(0, devicePath.size(), devicePath) == 0) {
            return node;
        }
    }
    return Empty();
}

std::optional<std::string> DeleteNode(const std::string& deviceId) {
    auto& table = TheTable();
    std::unique_ptr<Node> node;
    std::size_t left;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = std::find_if(table.nodes.begin(), table.nodes.end(), [&](const auto& entry) {
            return entry && entry->DeviceId() == deviceId;
        });
        if (it == table.nodes.end())
            return std::nullopt;
        node = std::move(*it);
        table.nodes.erase(it);
        left = table.nodes.size();
    }
    // Out of the table first: no lock is held across the D-Bus calls of Disconnect.
    LOGV << "Delete Node : " << deviceId;
    std::string path = node->DevicePath();
    node->Disconnect();
    node.reset();
    LOGV << "Num of Nodes : " << left;
    return path;
}

void DeleteAllNode() {
    LOGV;
    auto& table = TheTable();
    std::vector<std::unique_ptr<Node>> nodes;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        nodes.swap(table.nodes);
    }
    for (auto& node : nodes) {
        if (!node)
            continue;
        node->Disconnect();
        node.reset();
    }
    LOGV;
}

std::vector<std::string> DropAllNode() {
    auto& table = TheTable();
    std::vector<std::unique_ptr<Node>> nodes;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        nodes.swap(table.nodes);
    }
    std::vector<std::string> ids;
    for (auto& node : nodes) {
        if (node)
            ids.push_back(node->DeviceId());
    }
    nodes.clear();
    LOGV << "Dropped " << ids.size() << " node(s)";
    return ids;
}

std::size_t NodeCount() {
    auto& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.nodes.size();
}
