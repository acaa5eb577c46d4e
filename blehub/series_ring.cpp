#include "series_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

size_t Index(int64_t slot) {
    return static_cast<size_t>(slot % SeriesRing::kSlots);
}

// The float as its shortest decimal (21.3, not 21.299999237060547).
double Decimal(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
    return std::strtod(text, nullptr);
}

}  // namespace

void SeriesRing::Add(int64_t unixSeconds, float value) {
    if (unixSeconds < 0)
        return;
    const int64_t slot = unixSeconds / kStep;
    if (head_ < 0 || slot < head_ - kSlots * 2) {
        slots_ = {};
        head_ = slot;
    } else if (slot > head_) {
        for (int64_t s = std::max(head_ + 1, slot - kSlots + 1); s <= slot; ++s)
            slots_[Index(s)] = {};
        head_ = slot;
    } else if (slot <= head_ - kSlots) {
        return;
    }
    Slot& target = slots_[Index(slot)];
    ++target.count;
    target.mean += (value - target.mean) / static_cast<float>(target.count);
}

nlohmann::json SeriesRing::Json(int64_t now) const {
    const int64_t last = std::max<int64_t>(now / kStep, head_);
    const int64_t first = last - kSlots + 1;
    nlohmann::json values = nlohmann::json::array();
    for (int64_t s = first; s <= last; ++s) {
        const bool held = head_ >= 0 && s <= head_ && s > head_ - kSlots;
        const Slot& slot = slots_[Index(s < 0 ? 0 : s)];
        if (held && slot.count > 0)
            values.push_back(Decimal(slot.mean));
        else
            values.push_back(nullptr);
    }
    return {{"start", first * kStep}, {"step", kStep}, {"values", std::move(values)}};
}
