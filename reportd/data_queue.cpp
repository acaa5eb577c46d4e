#include "data_queue.h"

#include "log.h"

bool DataQueue::UpdateQueue(const nlohmann::json& sample, uint64_t seq) {
    try {
        const std::string& k = sample.at("k").get_ref<const std::string&>();
        const auto& tsValue = sample.at("ts");
        if (!tsValue.is_number()) {
            LOGE << "Sample dropped : \"ts\" is not a number";
            return false;
        }
        // A floating-point "ts" outside the 32-bit range has no defined conversion.
        if (tsValue.is_number_float() &&
            !(tsValue.get<double>() >= 0 && tsValue.get<double>() < 4294967296.0)) {
            LOGE << "Sample dropped : \"ts\" out of range";
            return false;
        }
        const uint32_t ts = tsValue.get<uint32_t>();
        if (k != "SD" && k != "FA") {
            // Unsigned on purpose: a clock that went back gives a huge delta and is kept.
            const uint32_t delta = ts - last_ts;
            if (delta < kMinDelta)
                return false;
            LOGV << "delta " << delta;
        }
        std::string text = sample.dump();
        if (text.size() > kMaxSampleBytes) {
            LOGE << "Sample dropped : " << text.size() << " bytes";
            return false;
        }
        last_ts = ts;
        queue.push_back(Sample{seq, std::move(text)});
        return true;
    } catch (const std::exception& e) {
        LOGE << e.what();
        return false;
    }
}
