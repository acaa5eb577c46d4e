// Answers of the "uci" object into the settings loaders of every daemon: the "halvex" sections,
// blehub's stored nodes and supervd's own options. The first byte picks the reader, the rest
// is the answer it gets.
#include <functional>
#include <vector>

#include "bus.h"
#include "nvram.h"
#include "settings.h"
#include "uci.h"

namespace {

const std::vector<std::function<void(NVRAM&)>> kReaders = {
    [](NVRAM& n) { n.LoadSysParams(); },
    [](NVRAM& n) { n.LoadAuthParams(); },
    [](NVRAM& n) { n.LoadMQTTParams(); },
    [](NVRAM& n) { n.LoadWhitelist(); },
    [](NVRAM& n) { n.LoadNodePaths(); },
    [](NVRAM& n) { n.NodeIds(); },
    [](NVRAM& n) { n.FindNodePath("AABBCCDDEEFF"); },
    [](NVRAM& n) { n.FindNodeId("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF"); },
    [](NVRAM& n) { n.FindNodeAddress("AABBCCDDEEFF"); },
    [](NVRAM&) { Settings::Load(); },
    [](NVRAM&) { UCI().Get("network", "wan"); },
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return -1;
    const auto& read = kReaders[data[0] % kReaders.size()];
    fuzz::SetReply(fuzz::CText(data + 1, size - 1));
    NVRAM nvram;
    read(nvram);
    return 0;
}
