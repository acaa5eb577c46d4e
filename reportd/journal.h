#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "data_queue.h"
#include "journal_block.h"
#include "journal_segment.h"

// reportd's journal of the samples the cloud has not taken yet, in two tiers:
// - the RAM tier (a tmpfs folder) gets every accepted sample at once, unsynced: it outlives a
//   crash or a restart of reportd, not a reboot;
// - the flash tier ("store_dir") gets only the samples that could not be delivered for a while
//   and those in memory at a clean stop, packed in blocks and synced: it outlives power cuts.
// The flash tier holds older samples than the RAM tier: a spill always moves the oldest samples
// kept in memory. Every method is safe from any thread.
class Journal {
  public:
    struct Options {
        std::string ram_dir;
        std::string store_dir;  // empty: no flash tier
        uint64_t store_max_bytes = 8192 * 1024;
        int64_t store_max_age = 7 * 24 * 3600;  // seconds
        std::size_t ram_segment_bytes = 1024 * 1024;
        std::size_t flash_segment_bytes = 256 * 1024;
    };
    // The boundaries of the report body in flight, so that it is sent again as it was.
    struct InFlight {
        uint64_t first = 0;
        uint64_t last = 0;
        uint32_t count = 0;
    };
    using KeepFn = std::function<void(const std::string& device_id, const std::string& sensor_type,
                                      const Sample& sample)>;
    using UnixClock = std::function<int64_t()>;

    Journal(Options options, UnixClock unixNow);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    virtual ~Journal() = default;

    // Reads both tiers: the RAM tier's samples that are not in the flash tier go to `keep`,
    // oldest first. Returns the sequence number the next sample must take (never one used
    // before, even when the RAM tier was lost: at least the UNIX time in microseconds).
    uint64_t Open(const KeepFn& keep);
    // The memory body in flight when the RAM tier was last written, if any.
    std::optional<InFlight> ReplayedInFlight() const { return replayed_in_flight_; }

    // RAM tier.
    void Append(const std::string& device_id, const std::string& sensor_type, const Sample& sample);
    void MemoryInFlight(const InFlight& batch);
    // Every memory sample up to `seq` has been delivered, dropped or moved to flash.
    void MemoryGone(uint64_t seq);

    // Flash tier.
    bool HasFlashTier() const { return !options_.store_dir.empty(); }
    // Samples in the flash tier not yet delivered.
    uint64_t FlashSamples() const;
    // When the oldest block of the flash tier was written (Unix seconds); 0 when it is empty.
    int64_t FlashOldestTime() const;
    // The next body's samples from the flash tier (empty when it holds none). A block is cut
    // into bodies the same way every time, so a body sent again holds the same samples.
    using CostFn = std::function<std::size_t(const journal::BlockSample&, bool newDevice)>;
    std::vector<journal::BlockSample> FlashBatch(std::size_t maxSamples, std::size_t maxBytes,
                                                 const CostFn& cost);
    // Every flash sample up to `seq` has been delivered (or refused).
    void FlashGone(uint64_t seq);
    // Writes `blocks` (each oldest first) to the flash tier and syncs; false (logged) when
    // the flash tier is missing or failing: the caller keeps the samples.
    bool Spill(const std::vector<std::vector<journal::BlockSample>>& blocks);
    // Applies the flash bounds, writes the delivery mark to flash when `syncDue`; true when
    // it wrote to flash.
    bool Maintain(bool syncDue);
    // Samples dropped by the flash bounds since the last call.
    uint64_t TakeDropped();

    // Bytes written to each tier so far (benchmarks).
    uint64_t RamBytesWritten() const;
    uint64_t FlashBytesWritten() const;

  private:
    struct Block {
        std::string file;
        std::size_t offset = 0;  // of the record
        uint64_t first = 0;
        uint64_t last = 0;
        uint32_t count = 0;
        int64_t unix_time = 0;
    };
    struct FlashFile {
        std::string name;
        std::size_t bytes = 0;
        uint64_t last = 0;  // newest sample in it
        int64_t unix_time = 0;
    };
    struct RamFile {
        std::string name;
        std::size_t bytes = 0;
        uint64_t last = 0;
    };

    // Caller holds mutex_ (but Read).
    void ReadFlash(uint64_t& maxSeq);
    uint64_t Read(std::vector<journal::BlockSample>& replayed);
    void ReadRam(uint64_t flashLast, uint64_t& maxSeq, std::vector<journal::BlockSample>& replayed);
    // Logs what a read found wrong with a file; false when the file was set aside.
    bool Check(const std::string& tier, const std::string& path, const journal::SegmentRead& r);
    bool AppendRam(uint64_t seq, const std::string& payload);
    bool WriteFlash(const std::string& bytes);
    void DropFlashFile(std::size_t index, const char* why);
    void DeleteDeliveredFlash();
    void Fault(const char* tier, const std::string& what, int error);
    void Healed(const char* tier);
    uint64_t NextFileNumber();
    std::string RamPath(const std::string& name) const { return options_.ram_dir + "/" + name; }
    std::string FlashPath(const std::string& name) const { return options_.store_dir + "/" + name; }

    const Options options_;
    UnixClock unix_now_;
    mutable std::mutex mutex_;
    std::optional<InFlight> replayed_in_flight_;

    journal::SegmentWriter ram_writer_;
    std::vector<RamFile> ram_files_;
    uint64_t ram_gone_ = 0;
    uint64_t last_appended_ = 0;
    std::chrono::steady_clock::time_point ram_retry_{};

    journal::SegmentWriter flash_writer_;
    std::vector<FlashFile> flash_files_;
    std::vector<Block> blocks_;  // live blocks, oldest first
    uint64_t flash_gone_ = 0;
    uint64_t flash_gone_written_ = 0;
    uint64_t flash_live_ = 0;
    uint64_t dropped_ = 0;
    std::size_t cached_block_ = SIZE_MAX;
    uint64_t cached_first_ = 0;
    std::vector<journal::BlockSample> cached_samples_;

    uint64_t next_file_ = 1;
    bool ram_failing_ = false;
    bool flash_failing_ = false;
    uint64_t ram_bytes_written_ = 0;
    uint64_t flash_bytes_written_ = 0;
};
