// The router's HCI link: a raw HCI socket through libbluetooth.
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <sys/socket.h>

#include "hci_link.h"

namespace hci {

namespace {

class BluetoothLink : public Link {
  public:
    ~BluetoothLink() override { Close(); }

    bool Open() override {
        const int dev = hci_get_route(nullptr);
        dd_ = hci_open_dev(dev);
        return dd_ >= 0;
    }

    bool SetEventFilter() override {
        struct hci_filter filter;
        hci_filter_clear(&filter);
        hci_filter_set_ptype(HCI_EVENT_PKT, &filter);
        hci_filter_all_events(&filter);
        return setsockopt(dd_, SOL_HCI, HCI_FILTER, &filter, sizeof filter) == 0;
    }

    bool Send(uint16_t ogf, uint16_t ocf, const std::vector<uint8_t>& params) override {
        std::vector<uint8_t> copy(params);  // hci_send_cmd takes a non-const pointer
        return hci_send_cmd(dd_, ogf, ocf, static_cast<uint8_t>(copy.size()),
                            copy.empty() ? nullptr : copy.data()) >= 0;
    }

    std::optional<std::vector<uint8_t>> Read(std::chrono::milliseconds timeout) override {
        return ReadPacket(dd_, timeout);
    }

    void Close() override {
        if (dd_ >= 0)
            hci_close_dev(dd_);
        dd_ = -1;
    }

  private:
    int dd_ = -1;
};

}  // namespace

std::unique_ptr<Link> MakeLink() {
    return std::make_unique<BluetoothLink>();
}

}  // namespace hci
