#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "cloud_report.h"
#include "status_snapshot.h"

// What the report thread did, for reportd's status object: counted there, read by the main
// loop when it refreshes the answer.
struct ReportStatus {
    std::atomic<uint64_t> posted{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<int64_t> last_post{0};  // Unix seconds
    std::atomic<const char*> last_result{nullptr};

    void Posted(Delivery delivery, std::size_t samples) {
        last_post.store(status::UnixNow());
        switch (delivery) {
            case Delivery::kDelivered:
                posted += samples;
                last_result.store("delivered");
                break;
            case Delivery::kRefused:
                refused += samples;
                last_result.store("refused");
                break;
            case Delivery::kRetry:
                last_result.store("not taken");
                break;
        }
    }

    // `memory`: samples kept in memory (and the RAM tier); `flash`: in the flash tier only.
    // `oldest`: Unix time of the oldest sample held (0: none).
    nlohmann::json Json(bool internet, std::size_t memory, uint64_t flash, int64_t oldest,
                        std::size_t max, std::size_t heard) const {
        const int64_t now = status::UnixNow();
        const int64_t when = last_post.load();
        const char* result = last_result.load();
        return {{"internet", internet ? "up" : "down"},
                {"samples_held", memory + flash},
                {"samples_memory", memory},
                {"samples_flash", flash},
                {"oldest_age", oldest > 0 && oldest <= now ? nlohmann::json(now - oldest)
                                                           : nlohmann::json(nullptr)},
                {"samples_max", max},
                {"last_post", when > 0 ? nlohmann::json({{"time", when}, {"result", result}})
                                       : nlohmann::json(nullptr)},
                {"posted", posted.load()},
                {"dropped", dropped.load()},
                {"refused", refused.load()},
                {"devices_heard", heard}};
    }
};
