#include "sample_store.h"

#include <algorithm>
#include <queue>
#include <unordered_set>

std::shared_ptr<DataQueue> SampleStore::GetDataQueue(const std::string& device_id,
                                                     const std::string& sensor_type,
                                                     std::size_t* index) {
    auto& list = queues_[device_id];
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i]->kind == sensor_type) {
            if (index != nullptr)
                *index = i;
            return list[i];
        }
    }
    list.push_back(std::make_shared<DataQueue>(sensor_type));
    if (index != nullptr)
        *index = list.size() - 1;
    return list.back();
}

bool SampleStore::Add(const std::string& device_id, const std::string& sensor_type,
                      const nlohmann::json& sample) {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    if (!GetDataQueue(device_id, sensor_type, nullptr)->UpdateQueue(sample, next_seq_)) {
        return false;
    }
    ++next_seq_;
    ++size_;
    EnforceBound();
    return true;
}

void SampleStore::EnforceBound() {
    while (size_ > max_samples_) {
        DataQueue* oldest = nullptr;
        for (auto& [id, list] : queues_) {
            for (auto& q : list) {
                if (!q->queue.empty() &&
                    (oldest == nullptr || q->queue.front().seq < oldest->queue.front().seq)) {
                    oldest = q.get();
                }
            }
        }
        if (oldest == nullptr)
            break;
        oldest->queue.pop_front();
        --size_;
        ++dropped_;
    }
}

ReportBatch SampleStore::Collect(std::size_t maxSamples, std::size_t maxBytes) {
    struct Front {
        uint64_t seq;
        const std::string* device_id;
        std::size_t index;
        const std::shared_ptr<DataQueue>* queue;
        bool operator>(const Front& o) const { return seq > o.seq; }
    };

    std::lock_guard<std::mutex> lock(queues_mutex_);
    std::priority_queue<Front, std::vector<Front>, std::greater<Front>> fronts;
    for (const auto& [id, list] : queues_) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (!list[i]->queue.empty())
                fronts.push({list[i]->queue.front().seq, &id, i, &list[i]});
        }
    }

    ReportBatch batch;
    std::unordered_set<std::string> devices;
    std::size_t bytes = ReportBatch::kEnvelopeBytes;
    while (!fronts.empty() && batch.Size() < maxSamples) {
        Front f = fronts.top();
        DataQueue& q = **f.queue;
        const bool newDevice = devices.count(*f.device_id) == 0;
        const std::size_t cost = ReportBatch::Cost(*f.device_id, q.queue.front(), newDevice);
        if (!batch.Empty() && bytes + cost > maxBytes)
            break;
        fronts.pop();
        bytes += cost;
        if (newDevice)
            devices.insert(*f.device_id);
        batch.Add({*f.queue, *f.device_id, f.index, std::move(q.queue.front())});
        q.queue.pop_front();
        --size_;
        if (!q.queue.empty())
            fronts.push({q.queue.front().seq, f.device_id, f.index, f.queue});
    }
    return batch;
}

void SampleStore::Restore(ReportBatch batch) {
    auto& items = batch.Items();
    // Newest first, each to the front of its queue: every queue ends up oldest first again.
    std::sort(items.begin(), items.end(),
              [](const auto& a, const auto& b) { return a.sample.seq > b.sample.seq; });
    std::lock_guard<std::mutex> lock(queues_mutex_);
    for (auto& item : items) {
        item.queue->queue.push_front(std::move(item.sample));
        ++size_;
    }
    EnforceBound();
}

std::size_t SampleStore::Size() const {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    return size_;
}

std::size_t SampleStore::TakeDropped() {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    std::size_t n = dropped_;
    dropped_ = 0;
    return n;
}
