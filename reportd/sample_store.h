#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "data_queue.h"
#include "report_batch.h"

// The samples waiting for the cloud: one queue per device and sensor type, and bounds on the
// samples and on the queues, so that neither a long outage nor a flood of made-up device ids or
// types can use up the router's memory (the oldest samples, the longest silent queues go first).
class SampleStore {
  public:
    static constexpr std::size_t kDefaultMaxQueues = 4096;

    explicit SampleStore(std::size_t maxSamples, std::size_t maxQueues = kDefaultMaxQueues)
        : max_samples_(maxSamples), max_queues_(maxQueues > 0 ? maxQueues : 1) {}
    virtual ~SampleStore() = default;

    // Keeps `sample` ("data" with "k" set) subject to its queue's rate limit; `kept` sees the
    // kept sample before any other thread can take it.
    using KeptFn = std::function<void(const Sample&)>;
    bool Add(const std::string& device_id, const std::string& sensor_type,
             const nlohmann::json& sample, const KeptFn& kept = KeptFn());
    // Keeps a sample read back from the journal, oldest first, whatever the rate limit.
    void AddReplayed(const std::string& device_id, const std::string& sensor_type, Sample sample);
    // The number the next kept sample takes, and so on upwards.
    void SetNextSeq(uint64_t seq);

    // Takes the oldest samples, at most `maxSamples` and about `maxBytes` of body (always at
    // least one sample when there is any), none numbered above `maxSeq`.
    ReportBatch Collect(std::size_t maxSamples, std::size_t maxBytes, uint64_t maxSeq = UINT64_MAX);
    // The number of the oldest sample kept, or the next one's when none is kept: every sample
    // below it has left the store.
    uint64_t FirstKeptSeq() const;
    // The node time ("ts") of the oldest kept sample; 0 when none is kept or it has none.
    int64_t OldestTs() const;
    // Puts a batch whose POST failed back in front of the newer samples.
    void Restore(ReportBatch batch);

    std::size_t Size() const;
    // Samples dropped by the bounds since the last call.
    std::size_t TakeDropped();
    // Queues dropped by their bound since the last call.
    std::size_t TakeDroppedQueues();

  private:
    // Caller holds mutex_.
    std::shared_ptr<DataQueue> GetDataQueue(const std::string& device_id,
                                            const std::string& sensor_type, std::size_t* index);
    void EnforceBound();
    // Drops the queue that has been silent longest, with its samples.
    void DropSilentQueue();
    bool Holds(const std::string& device_id, const DataQueue* queue) const;

    const std::size_t max_samples_;
    const std::size_t max_queues_;
    mutable std::mutex queues_mutex_;
    std::unordered_map<std::string, std::vector<std::shared_ptr<DataQueue>>> queues_;
    std::size_t size_ = 0;
    std::size_t dropped_ = 0;
    std::size_t queue_count_ = 0;
    std::size_t dropped_queues_ = 0;
    uint64_t next_seq_ = 0;
    uint64_t heard_ = 0;
};
