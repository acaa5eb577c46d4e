// The controller's reply to provd's static address command.
#include <cstdlib>
#include <optional>
#include <vector>

#include "bus.h"
#include "static_address.h"

namespace {

// A controller that takes the command and answers with the input.
class Link : public hci::Link {
  public:
    explicit Link(std::vector<uint8_t> reply) : reply_(std::move(reply)) {}
    bool Open() override { return true; }
    bool SetEventFilter() override { return true; }
    bool Send(uint16_t, uint16_t, const std::vector<uint8_t>&) override { return true; }
    std::optional<std::vector<uint8_t>> Read(std::chrono::milliseconds) override { return reply_; }
    void Close() override {}

  private:
    std::vector<uint8_t> reply_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Link link(std::vector<uint8_t>(data, data + size));
    std::string address, serial;
    if (ReadStaticAddress(link, address, serial, std::chrono::milliseconds(0))) {
        if (address.size() != 12 || serial.size() != 32)
            std::abort();
    }
    return 0;
}
