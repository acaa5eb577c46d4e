#include "report_batch.h"

#include <algorithm>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace {
constexpr std::size_t kDeviceFrameBytes = sizeof("{\"id\":,\"vs\":[]},") - 1;
}

std::size_t ReportBatch::Cost(const std::string& device_id, const Sample& sample, bool newDevice) {
    std::size_t cost = sample.text.size() + 1;  // the text and a comma
    if (newDevice)
        cost += kDeviceFrameBytes + nlohmann::json(device_id).dump().size();
    return cost;
}

std::string ReportBatch::Body() const {
    std::unordered_map<std::string, std::size_t> rank;
    for (const auto& item : items_)
        rank.emplace(item.device_id, rank.size());

    std::vector<const Item*> order;
    order.reserve(items_.size());
    for (const auto& item : items_)
        order.push_back(&item);
    std::stable_sort(order.begin(), order.end(), [&rank](const Item* a, const Item* b) {
        const std::size_t ra = rank.at(a->device_id), rb = rank.at(b->device_id);
        if (ra != rb)
            return ra < rb;
        if (a->queue_index != b->queue_index)
            return a->queue_index < b->queue_index;
        return a->sample.seq < b->sample.seq;
    });

    std::string body = "{\"nodes\":[";
    const std::string* device = nullptr;
    for (const Item* item : order) {
        if (device == nullptr || *device != item->device_id) {
            if (device != nullptr)
                body += "]},";
            device = &item->device_id;
            body += "{\"id\":" + nlohmann::json(*device).dump() + ",\"vs\":[";
        } else {
            body += ',';
        }
        body += item->sample.text;
    }
    if (device != nullptr)
        body += "]}";
    body += "]}";
    return body;
}
