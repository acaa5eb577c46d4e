#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>

// A sensor's values of the last hour for the status page's plot: the mean of every 30 s,
// in a fixed ring (no allocation per reading, ~1 KB per sensor whatever the reading rate).
class SeriesRing {
  public:
    static constexpr int kSlots = 120;
    static constexpr int64_t kStep = 30;  // seconds per slot

    // `unixSeconds` is the gateway's time of the reading; one older than the ring's hour is
    // dropped, one from a clock set back starts the ring again.
    void Add(int64_t unixSeconds, float value);
    // {"start":S,"step":30,"values":[...]}: the kSlots slots ending with the one holding `now`,
    // oldest first, null where nothing arrived.
    nlohmann::json Json(int64_t now) const;

  private:
    struct Slot {
        float mean = 0;
        uint32_t count = 0;
    };
    std::array<Slot, kSlots> slots_{};
    int64_t head_ = -1;  // slot number (time / kStep) of the newest reading
};
