#include "sample_store.h"

#include <algorithm>
#include <queue>
#include <unordered_set>
#include <utility>

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
    if (queue_count_ >= max_queues_) {
        DropSilentQueue();
        return GetDataQueue(device_id, sensor_type, index);  // the device's list may be gone
    }
    list.push_back(std::make_shared<DataQueue>(sensor_type));
    ++queue_count_;
    if (index != nullptr)
        *index = list.size() - 1;
    return list.back();
}

void SampleStore::DropSilentQueue() {
    std::string device;
    std::size_t at = 0;
    const DataQueue* silent = nullptr;
    for (const auto& [id, list] : queues_) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (silent == nullptr || list[i]->heard < silent->heard) {
                silent = list[i].get();
                device = id;
                at = i;
            }
        }
    }
    if (silent == nullptr)
        return;
    auto& list = queues_[device];
    size_ -= list[at]->queue.size();
    dropped_ += list[at]->queue.size();
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(at));
    if (list.empty())
        queues_.erase(device);
    --queue_count_;
    ++dropped_queues_;
}

bool SampleStore::Holds(const std::string& device_id, const DataQueue* queue) const {
    const auto it = queues_.find(device_id);
    if (it == queues_.end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(),
                       [queue](const auto& q) { return q.get() == queue; });
}

bool SampleStore::Add(const std::string& device_id, const std::string& sensor_type,
                      const nlohmann::json& sample, const KeptFn& kept) {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    const auto queue = GetDataQueue(device_id, sensor_type, nullptr);
    queue->heard = ++heard_;
    if (!queue->UpdateQueue(sample, next_seq_)) {
        return false;
    }
    ++next_seq_;
    if (kept)
        kept(queue->queue.back());
    ++size_;
    EnforceBound();
    return true;
}

void SampleStore::AddReplayed(const std::string& device_id, const std::string& sensor_type,
                              Sample sample) {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    const auto queue = GetDataQueue(device_id, sensor_type, nullptr);
    queue->heard = ++heard_;
    // The rate limit goes on from the replayed sample's "ts".
    const auto text = nlohmann::json::parse(sample.text, nullptr, false);
    if (text.is_object() && text.contains("ts") && text["ts"].is_number_unsigned())
        queue->last_ts = text["ts"].get<uint32_t>();
    next_seq_ = std::max(next_seq_, sample.seq + 1);
    queue->queue.push_back(std::move(sample));
    ++size_;
    EnforceBound();
}

void SampleStore::SetNextSeq(uint64_t seq) {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    next_seq_ = std::max(next_seq_, seq);
}

uint64_t SampleStore::FirstKeptSeq() const {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    uint64_t oldest = next_seq_;
    for (const auto& [id, list] : queues_) {
        for (const auto& q : list) {
            if (!q->queue.empty())
                oldest = std::min(oldest, q->queue.front().seq);
        }
    }
    return oldest;
}

int64_t SampleStore::OldestTs() const {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    const Sample* oldest = nullptr;
    for (const auto& [id, list] : queues_) {
        for (const auto& q : list) {
            if (!q->queue.empty() && (oldest == nullptr || q->queue.front().seq < oldest->seq))
                oldest = &q->queue.front();
        }
    }
    if (oldest == nullptr)
        return 0;
    const auto sample = nlohmann::json::parse(oldest->text, nullptr, false);
    const auto ts = sample.is_object() ? sample.find("ts") : sample.end();
    return ts != sample.end() && ts->is_number_integer() ? ts->get<int64_t>() : 0;
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

ReportBatch SampleStore::Collect(std::size_t maxSamples, std::size_t maxBytes, uint64_t maxSeq) {
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
        if (f.seq > maxSeq)
            break;
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
        if (!Holds(item.device_id, item.queue.get())) {
            ++dropped_;  // its queue was dropped while the POST ran
            continue;
        }
        item.queue->queue.push_front(std::move(item.sample));
        ++size_;
    }
    EnforceBound();
}

std::size_t SampleStore::Size() const {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    return size_;
}

std::size_t SampleStore::TakeDroppedQueues() {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    return std::exchange(dropped_queues_, 0);
}

std::size_t SampleStore::TakeDropped() {
    std::lock_guard<std::mutex> lock(queues_mutex_);
    std::size_t n = dropped_;
    dropped_ = 0;
    return n;
}
