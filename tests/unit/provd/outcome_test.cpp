// provd's outcomes that need no cloud: a package setting the store refuses, the first-boot
// flag that must be cleared before a reboot, unusable key material, and which interface
// events start the provisioning. The platform stand-in serves "uci" and "system" on the host
// bus; on ubusd rpcd serves "uci" and a peer "system".

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "provisioner.h"
#include "uci_server.h"

using nlohmann::json;
using testing_support::ChildProcess;
using testing_support::LogCapture;
using testing_support::UbusBus;
using testing_support::UciServer;

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kConfigs = {
    {"halvex",
     "config sys 'sys'\n\toption first_boot '1'\n\n"
     "config auth 'auth'\n\toption access_token ''\n\toption refresh_token ''\n"},
    {"network", "config interface 'wan'\n\toption proto 'dhcp'\n"},
    {"wireless", "config wifi-iface 'default_radio0'\n\toption mode 'sta'\n"},
};

class ProvisionerOutcomeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("provd_outcome_test.log"); }

    void SetUp() override { SKIP_WITHOUT_UCI_SERVER(); }

    // The platform stand-in over these config files; the default ones without `leaveOut`.
    void StartPlatform(const std::string& leaveOut = "") {
        bus = std::make_unique<UbusBus>();
        const fs::path dir = fs::path(bus->Dir()) / "config";
        fs::create_directories(dir);
        for (const auto& [name, text] : kConfigs) {
            if (name != leaveOut)
                std::ofstream(dir / name) << text;
        }
        platform = std::make_unique<UciServer>(*bus, dir.string());
#ifdef GATEWAY_UBUS_LIBUBUS
        systemPeer =
            std::make_unique<ChildProcess>(testing_support::BuiltProgram({UBUS_PEER, "system"}));
        ASSERT_TRUE(systemPeer->WaitForLine("READY"));
#endif
    }

    void StopPlatform() {
        systemPeer.reset();
        platform.reset();
        bus.reset();
    }

    static std::unique_ptr<NVRAM> Settings() {
        auto nvram = std::make_unique<NVRAM>();
        nvram->first_boot = 1;
        nvram->device_id = "c29a3d5e710b";
        nvram->serial_number = "5f1c0e9a2b7d4c3e8a6b0f1d2c3e4a5b";
        nvram->probe_host = "localhost";
        nvram->prov_url = "https://127.0.0.1:9/provisioning";  // nothing listens there
        return nvram;
    }

    // A uci value as every client sees it, staged changes included; "" when absent.
    static std::string Get(const std::string& config, const std::string& section,
                           const std::string& option) {
        std::string value;
        const json args = {{"config", config}, {"section", section}, {"option", option}};
        ubus::Sender(10).Invoke("uci", "get", args.dump(), [&value](const char* reply) {
            const json answer = json::parse(reply);
            value = answer.value("value", "");
        });
        return value;
    }

    static std::vector<unsigned char> Bytes(const json& document) {
        const std::string text = document.dump();
        return {text.begin(), text.end()};
    }

    std::unique_ptr<UbusBus> bus;
    std::unique_ptr<UciServer> platform;
    std::unique_ptr<ChildProcess> systemPeer;
};

#ifdef GATEWAY_UBUS_LIBUBUS
// The call as the bus monitor sees it.
constexpr const char* kRebooted = "system reboot {} -> 0";
constexpr const char* kReboot = "system reboot";
#else
// The stand-in's own line for it.
constexpr const char* kRebooted = "system: reboot 1";
constexpr const char* kReboot = "system: reboot";
#endif

TEST_F(ProvisionerOutcomeTest, ASettingTheStoreRefusesRevertsWhatThePackageStagedBefore) {
    // Network and tokens are staged before the wireless settings, which the store refuses:
    // the device has no "wireless" (rpcd answers 4 for it, as the stand-in does).
    StartPlatform("wireless");
    const json document = {
        {"network",
         {{"proto", "static"},
          {"ipaddr", "192.168.8.20"},
          {"netmask", "255.255.255.0"},
          {"gateway", "192.168.8.1"},
          {"dns", {"192.168.8.1"}}}},
        {"tokens", {{"access", "acc"}, {"refresh", "ref"}}},
        {"wireless", {{"ssid", "HomeNet"}, {"encryption", "psk2"}, {"key", "k"}}}};
    {
        Provisioner provd(Settings());
        LogCapture log;
        EXPECT_FALSE(provd.ApplyDocument(Bytes(document)));
        EXPECT_TRUE(log.Contains("Package not applied: a setting was refused"));
        EXPECT_EQ(Get("network", "wan", "proto"), "dhcp");
        EXPECT_EQ(Get("halvex", "auth", "access_token"), "");
    }

    // The same package on a device that has every config is taken whole.
    StopPlatform();
    StartPlatform();
    Provisioner provd(Settings());
    EXPECT_TRUE(provd.ApplyDocument(Bytes(document)));
    EXPECT_EQ(Get("network", "wan", "proto"), "static");
    EXPECT_EQ(Get("halvex", "auth", "access_token"), "acc");
    EXPECT_EQ(Get("wireless", "default_radio0", "ssid"), "HomeNet");
}

TEST_F(ProvisionerOutcomeTest, RebootsOnlyOnceTheFirstBootFlagIsCleared) {
    StartPlatform();
    {
        Provisioner provd(Settings());
        provd.Reboot();
        EXPECT_TRUE(platform->Requested(kRebooted));
        EXPECT_EQ(Get("halvex", "sys", "first_boot"), "0");
    }
    // No "halvex" to clear the flag in: rebooting would provision again at every start.
    StopPlatform();
    StartPlatform("halvex");
    Provisioner provd(Settings());
    LogCapture log;
    provd.Reboot();
    EXPECT_TRUE(log.Contains("first_boot not cleared: no reboot"));
    EXPECT_FALSE(log.Contains("] Reboot"));
    // The stand-in logs a reboot request before it answers it; this later call comes after.
    Get("network", "wan", "proto");
    ASSERT_TRUE(platform->Requested("uci get {\"config\":\"network\""));
    EXPECT_FALSE(platform->Saw(kReboot));
}

TEST_F(ProvisionerOutcomeTest, KeyMaterialThatCannotBeDerivedStopsBeforeAnyDownload) {
    bus = std::make_unique<UbusBus>();
    for (const char* field : {"device_id", "serial_number"}) {
        auto nvram = Settings();
        (std::string(field) == "device_id" ? nvram->device_id : nvram->serial_number) = "xyz";
        Provisioner provd(std::move(nvram));
        LogCapture log;
        provd.Provisioning();
        EXPECT_EQ(log.Count("Critical Error"), 1u) << field;
        EXPECT_FALSE(log.Contains("Download")) << field;
    }
}

TEST_F(ProvisionerOutcomeTest, OnlyWanIfupStartsTheProvisioning) {
    StartPlatform();
    Provisioner provd(Settings());
    for (const char* event : {
             R"({"action":"ifup","interface":"lan"})",
             R"({"action":"ifup","interface":"wan6"})",
             R"({"action":"ifupdate","interface":"wan"})",
             R"({"interface":"wan"})",
             R"({"action":"ifup","interface":"wan"})",
             R"({"action":"ifdown","interface":"lan"})",
             R"({"action":"ifdown","interface":"wan"})",
         }) {
        provd.IfaceEventHandler(event);
    }
    std::vector<int32_t> codes;
    const std::atomic<bool> running{true};
    provd.Loop().Pass(running, [&codes](mailbox::Message& m) { codes.push_back(m.code); });
    EXPECT_EQ(codes,
              (std::vector<int32_t>{Provisioner::kProvisioning, mailbox::kWlanDisconnected}));
}

}  // namespace
