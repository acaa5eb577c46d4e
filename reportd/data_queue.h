#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include <nlohmann/json.hpp>

// A kept sample: its compact JSON text and its arrival number across all queues, which tells
// the oldest sample of the whole store.
struct Sample {
    uint64_t seq = 0;
    std::string text;
};

// The samples of one sensor type of one device, oldest first. Most types keep at most one sample
// per 60 units of the node's "ts"; "SD" and "FA" keep every sample. Not locked: the store that
// owns it serialises every access.
class DataQueue {
  public:
    static constexpr uint32_t kMinDelta = 60;
    // Larger samples are refused: real readings are a few dozen bytes.
    static constexpr std::size_t kMaxSampleBytes = 1024;

    explicit DataQueue(std::string kind) : kind(std::move(kind)) {}
    virtual ~DataQueue() = default;

    // Keeps or drops one sample ("data" of the event with "k" set); true when it was kept.
    bool UpdateQueue(const nlohmann::json& sample, uint64_t seq);

    const std::string kind;
    uint32_t last_ts = 0;
    uint64_t heard = 0;  // when a sample last arrived for it, in the store's arrival count
    std::deque<Sample> queue;
};
