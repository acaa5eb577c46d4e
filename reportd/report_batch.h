#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "data_queue.h"

// Samples taken out of the store for one report POST. They go back to the store when the POST
// has to be repeated.
class ReportBatch {
  public:
    struct Item {
        std::shared_ptr<DataQueue> queue;
        std::string device_id;
        std::size_t queue_index = 0;  // position of the queue among its device's queues
        Sample sample;
    };

    virtual ~ReportBatch() = default;

    bool Empty() const { return items_.empty(); }
    std::size_t Size() const { return items_.size(); }
    const std::vector<Item>& Items() const { return items_; }
    std::vector<Item>& Items() { return items_; }

    void Add(Item item) { items_.push_back(std::move(item)); }

    // {"nodes":[{"id":..,"vs":[..]},..]}, compact: devices in the order of their oldest sample,
    // a device's samples queue by queue (in the order its types were first heard), oldest first.
    std::string Body() const;

    // Bytes that a sample of `device_id` adds to the body; `newDevice` when it opens the device.
    static std::size_t Cost(const std::string& device_id, const Sample& sample, bool newDevice);
    static constexpr std::size_t kEnvelopeBytes = sizeof("{\"nodes\":[]}") - 1;

  private:
    std::vector<Item> items_;
};
