// Answers of the "uci" object into the settings loaders of every daemon: the "halvex" sections,
// blehub's stored nodes and supervd's own options.
#include "bus.h"
#include "nvram.h"
#include "settings.h"
#include "uci.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::SetReply(fuzz::CText(data, size));
    NVRAM nvram;
    nvram.LoadSysParams();
    nvram.LoadAuthParams();
    nvram.LoadMQTTParams();
    nvram.LoadWhitelist();
    nvram.LoadNodePaths();
    nvram.NodeIds();
    nvram.FindNodePath("AABBCCDDEEFF");
    nvram.FindNodeId("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF");
    nvram.FindNodeAddress("AABBCCDDEEFF");
    Settings::Load();
    UCI().Get("network", "wan");
    return 0;
}
