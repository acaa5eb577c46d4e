// UCI and NVRAM against a private "uci" object: the platform stand-in on the host bus, rpcd
// on ubusd.

#include "nvram.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "log.h"
#include "uci.h"
#include "uci_server.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::UbusBus;
using testing_support::UciServer;

namespace {

const char* kHalvex = R"(
config sys 'sys'
	option url 'https://cloud.example.com:8443/api/v1?x=1#top'
	option prov_url 'https://prov.example.com'
	option device_id 'GW0001'
	option first_boot '0'
	option ca_file '/etc/ssl/cloud.pem'
	option tls_verify '0'
	option max_samples '500'
	option report_interval '10'
	option serial_number '00112233445566778899aabbccddeeff'
	list whitelist 'AAAAAAAAAAAA'
	list whitelist 'BBBBBBBBBBBB'

config auth 'auth'
	option access_token 'access'
	option refresh_token 'refresh'
	option client_id 'client'
	option client_secret 'secret'

config mqtt 'mqtt'
	option host 'broker.example.com'
	option port '1884'
	option enable '1'
)";

// The logger writes under a folder of this test program, set up before any test runs and
// removed when the program ends.
fs::path LogDir() {
    static const fs::path dir =
        fs::temp_directory_path() / ("nvramtest-" + std::to_string(getpid()));
    return dir;
}

fs::path LogFile() {
    static const fs::path file = [] {
        fs::remove_all(LogDir());
        setenv("HALVEX_RUN_DIR", LogDir().c_str(), 1);
        logging::Options options;
        options.file = "nvram.log";
        options.max = logging::verbose;
        logging::Init(options);
        return LogDir() / "log" / "nvram.log";
    }();
    return file;
}

class LogDirCleanup : public ::testing::Environment {
  public:
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(LogDir(), ec);
    }
};
::testing::Environment* const kCleanup = ::testing::AddGlobalTestEnvironment(new LogDirCleanup);

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class NvramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_UCI_SERVER();
        Start(kHalvex);
    }

    void TearDown() override {
        server_.reset();
        bus_.reset();
    }

    void Start(const std::string& halvex) {
        LogFile();
        bus_ = std::make_unique<UbusBus>();
        configDir_ = fs::path(bus_->Dir()) / "config";
        fs::create_directories(configDir_);
        WriteConfig(halvex);
        server_ = std::make_unique<UciServer>(*bus_, configDir_.string());
    }

    void WriteConfig(const std::string& text) { std::ofstream(configDir_ / "halvex") << text; }

    // Each request with its exact arguments and the status it was answered.
    bool Requested(const std::string& line) { return server_->Requested(line); }

    // Log text written since the last call.
    std::string NewLog() {
        const std::string all = ReadFile(LogFile());
        const std::string fresh = all.substr(std::min(logSeen_, all.size()));
        logSeen_ = all.size();
        return fresh;
    }

    std::unique_ptr<UbusBus> bus_;
    std::unique_ptr<UciServer> server_;
    fs::path configDir_;
    std::size_t logSeen_ = 0;
};

TEST(UrlToHost, TakesTheHostOutOfAUrlWithOrWithoutItsScheme) {
    EXPECT_EQ(UrlToHost("https://cloud.example.com:8443/a/b?x=1&y=2#frag"), "cloud.example.com");
    EXPECT_EQ(UrlToHost("http://cloud.example.com"), "cloud.example.com");
    EXPECT_EQ(UrlToHost("http://10.1.2.3/"), "10.1.2.3");
    EXPECT_EQ(UrlToHost("cloud.example.com"), "cloud.example.com");
    EXPECT_EQ(UrlToHost("cloud.example.com:8443/path"), "cloud.example.com");
    EXPECT_EQ(UrlToHost("https://[fd00::1]:443/"), "fd00::1");
}

TEST(UrlToHost, FallsBackToTheBuiltInHostOnlyWhenTheUrlCannotBeRead) {
    for (const std::string& unreadable : std::vector<std::string>{
             "", "ftp://cloud.example.com", "https://", "https://:443", "bad host", "a\"b",
             "cloud.example.com:", "cloud.example.com:0", "cloud.example.com:65536",
             "cloud.example.com:12a", "cloud.example.com:443:1", "[fd00::1", "[fd00::1]x", "-x",
             std::string(3000, 'a')}) {
        EXPECT_EQ(UrlAuthority(unreadable), "") << unreadable;
        EXPECT_EQ(UrlToHost(unreadable), NVRAM::kDefaultCloudHost) << unreadable;
    }
}

TEST(UrlAuthority, KeepsThePortAndDropsCredentialsAndPath) {
    EXPECT_EQ(UrlAuthority("https://user:pw@127.0.0.1:8443/api?x=1#top"), "127.0.0.1:8443");
    EXPECT_EQ(UrlAuthority("cloud.example.com:65535/api"), "cloud.example.com:65535");
    EXPECT_EQ(UrlAuthority("[fd00::1]:8443"), "[fd00::1]:8443");
}

TEST_F(NvramTest, LoadSysParamsTakesEveryKnownOption) {
    NVRAM nvram;
    nvram.LoadSysParams();
    EXPECT_TRUE(Requested(R"(uci get {"config":"halvex","section":"sys"} -> 0)"));
    EXPECT_EQ(nvram.url, "https://cloud.example.com:8443/api/v1?x=1#top");
    EXPECT_EQ(nvram.host, "cloud.example.com");
    EXPECT_EQ(nvram.prov_url, "https://prov.example.com");
    EXPECT_EQ(nvram.device_id, "GW0001");
    EXPECT_EQ(nvram.first_boot, 0);
    EXPECT_EQ(nvram.ca_file, "/etc/ssl/cloud.pem");
    EXPECT_EQ(nvram.tls_verify, 0);
    EXPECT_EQ(nvram.max_samples, 500);
    EXPECT_EQ(nvram.report_interval, 10);
    EXPECT_TRUE(nvram.whitelist.empty());  // LoadWhitelist's business
    EXPECT_EQ(NewLog().find("ERROR"), std::string::npos);
}

TEST_F(NvramTest, LoadAuthAndMqttParams) {
    NVRAM nvram;
    nvram.LoadAuthParams();
    nvram.LoadMQTTParams();
    EXPECT_EQ(nvram.access_token, "access");
    EXPECT_EQ(nvram.refresh_token, "refresh");
    EXPECT_EQ(nvram.client_id, "client");
    EXPECT_EQ(nvram.client_secret, "secret");
    EXPECT_EQ(nvram.mqtt_host, "broker.example.com");
    EXPECT_EQ(nvram.mqtt_port, 1884);
    EXPECT_EQ(nvram.mqtt_enable, 1);
}

TEST_F(NvramTest, LoadWhitelistReplacesTheList) {
    NVRAM nvram;
    nvram.whitelist = {"OLD"};
    nvram.LoadWhitelist();
    EXPECT_EQ(nvram.whitelist, (std::vector<std::string>{"AAAAAAAAAAAA", "BBBBBBBBBBBB"}));
}

TEST_F(NvramTest, UrlWithoutSchemeIsReadAsAHostName) {
    WriteConfig("config sys 'sys'\n\toption url 'cloud.example.com/api'\n");
    NVRAM nvram;
    nvram.LoadSysParams();
    EXPECT_EQ(nvram.url, "cloud.example.com/api");
    EXPECT_EQ(nvram.host, "cloud.example.com");
}

TEST_F(NvramTest, PortThatIsNotANumberIsLoggedAndEarlierOptionsStay) {
    WriteConfig(
        "config mqtt 'mqtt'\n\toption host 'broker.example.com'\n\toption port '18x3'\n"
        "\toption enable '1'\n");
    NVRAM nvram;
    NewLog();
    nvram.LoadMQTTParams();
    EXPECT_EQ(nvram.mqtt_host, "broker.example.com");  // "host" sorts before "port"
    EXPECT_EQ(nvram.mqtt_port, 1883);
    const std::string log = NewLog();
    EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
    EXPECT_NE(log.find("NVRAM::LoadMQTTParams@"), std::string::npos) << log;
    EXPECT_NE(log.find("bad lexical cast"), std::string::npos) << log;
}

TEST_F(NvramTest, MqttOptionsOutOfRangeAreLoggedAndKeepTheirDefaultsThePasswordNever) {
    WriteConfig(
        "config mqtt 'mqtt'\n\toption ha_discovery '2'\n\toption ha_prefix 'ha/+'\n"
        "\toption keepalive '4'\n\toption password 'se/cret'\n\toption qos '2'\n"
        "\toption tls '1'\n\toption username 'gw'\n\n");
    NVRAM nvram;
    const NVRAM defaults;
    NewLog();
    nvram.LoadMQTTParams();
    EXPECT_EQ(nvram.mqtt_qos, defaults.mqtt_qos);
    EXPECT_EQ(nvram.mqtt_keepalive, defaults.mqtt_keepalive);
    EXPECT_EQ(nvram.mqtt_ha_discovery, defaults.mqtt_ha_discovery);
    EXPECT_EQ(nvram.mqtt_ha_prefix, "homeassistant");
    EXPECT_EQ(nvram.mqtt_tls, 1);
    EXPECT_EQ(nvram.mqtt_username, "gw");
    EXPECT_EQ(nvram.mqtt_password, "se/cret");
    const std::string log = NewLog();
    for (const char* line : {"Option qos \"2\" ignored", "Option keepalive \"4\" ignored",
                             "Option ha_discovery \"2\" ignored", "Option ha_prefix \"ha/+\""})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    WriteConfig("config mqtt 'mqtt'\n\tlist password 'se/cret'\n\n");
    nvram.LoadMQTTParams();
    const std::string refused = NewLog();
    EXPECT_NE(refused.find("Option password ignored"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("se/cret"), std::string::npos) << refused;
}

TEST_F(NvramTest, EachBadNumberIsLoggedAndEveryOtherOptionStillLoads) {
    // Options come in name order: every bad one sorts before the good ones it must not stop.
    WriteConfig(
        "config sys 'sys'\n\toption first_boot 'yes'\n\toption max_samples '20k'\n"
        "\toption queue_limit ''\n\toption report_interval '1.5'\n\toption tls_verify 'no'\n"
        "\toption url 'https://cloud.example.com'\n\toption device_id 'GW9'\n"
        "\toption ca_file '/x.pem'\n\n"
        "config mqtt 'mqtt'\n\toption enable 'on'\n\toption host 'h.example.com'\n"
        "\toption port '18x3'\n");
    NVRAM nvram;
    const NVRAM defaults;
    NewLog();
    nvram.LoadSysParams();
    nvram.LoadMQTTParams();
    EXPECT_EQ(nvram.url, "https://cloud.example.com");
    EXPECT_EQ(nvram.host, "cloud.example.com");
    EXPECT_EQ(nvram.device_id, "GW9");
    EXPECT_EQ(nvram.ca_file, "/x.pem");
    EXPECT_EQ(nvram.mqtt_host, "h.example.com");
    EXPECT_EQ(nvram.first_boot, defaults.first_boot);
    EXPECT_EQ(nvram.max_samples, defaults.max_samples);
    EXPECT_EQ(nvram.report_interval, defaults.report_interval);
    EXPECT_EQ(nvram.tls_verify, defaults.tls_verify);
    EXPECT_EQ(nvram.mqtt_enable, defaults.mqtt_enable);
    EXPECT_EQ(nvram.mqtt_port, defaults.mqtt_port);
    const std::string log = NewLog();
    for (const char* line :
         {"Option first_boot \"yes\" ignored", "Option max_samples \"20k\" ignored",
          "Option report_interval \"1.5\" ignored", "Option tls_verify \"no\" ignored",
          "Option enable \"on\" ignored", "Option port \"18x3\" ignored"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

TEST_F(NvramTest, WrongValueTypesAreLoggedNotFatal) {
    WriteConfig("config sys 'sys'\n\toption first_boot '1.5'\n\toption whitelist 'AAAAAAAAAAAA'\n");
    NVRAM nvram;
    nvram.first_boot = 7;
    nvram.whitelist = {"KEEP"};
    NewLog();
    nvram.LoadSysParams();
    nvram.LoadWhitelist();
    EXPECT_EQ(nvram.first_boot, 7);
    EXPECT_EQ(nvram.whitelist, std::vector<std::string>{"KEEP"});
    const std::string log = NewLog();
    EXPECT_NE(log.find("NVRAM::LoadSysParams@"), std::string::npos) << log;
    EXPECT_NE(log.find("NVRAM::LoadWhitelist@"), std::string::npos) << log;
}

TEST_F(NvramTest, MissingSectionOrOptionLeavesFieldsAsTheyWere) {
    WriteConfig("config sys 'sys'\n\toption device_id 'GW0002'\n");
    NVRAM nvram;
    nvram.url = "https://before";
    nvram.access_token = "before";
    nvram.whitelist = {"KEEP"};
    nvram.LoadSysParams();
    nvram.LoadAuthParams();
    nvram.LoadMQTTParams();
    nvram.LoadWhitelist();
    EXPECT_EQ(nvram.device_id, "GW0002");
    EXPECT_EQ(nvram.url, "https://before");
    EXPECT_EQ(nvram.access_token, "before");
    EXPECT_EQ(nvram.mqtt_host, "0.0.0.0");
    EXPECT_EQ(nvram.mqtt_port, 1883);
    EXPECT_EQ(nvram.whitelist, std::vector<std::string>{"KEEP"});
    EXPECT_TRUE(Requested(R"(uci get {"config":"halvex","section":"auth"} -> 0)"));
}

TEST_F(NvramTest, NoUciObjectLeavesFieldsAsTheyWereAndIsNamedOnceAtErrorSeverity) {
    server_.reset();
    NewLog();
    NVRAM nvram;
    nvram.device_id = "before";
    nvram.LoadSysParams();
    nvram.LoadAuthParams();
    EXPECT_EQ(nvram.device_id, "before");
    EXPECT_TRUE(UCI().Get("halvex", "sys").is_null());
    EXPECT_FALSE(UCI().Commit("halvex"));
    const std::string log = NewLog();
    EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR")) << log;
    EXPECT_NE(log.find(R"(ERROR [)"), std::string::npos) << log;
    EXPECT_NE(log.find(R"(ubus object "uci" not found (4 Not found))"), std::string::npos) << log;
}

TEST_F(NvramTest, UciGetOfASectionAndByTypeAndMatch) {
    UCI uci;
    const json sys = uci.Get("halvex", "sys");
    EXPECT_EQ(sys.at("device_id"), "GW0001");
    EXPECT_EQ(sys.at("whitelist"), json({"AAAAAAAAAAAA", "BBBBBBBBBBBB"}));
    EXPECT_TRUE(uci.Get("halvex", "nosuch").is_null());

    const json all = uci.Get("halvex", "mqtt", json::object());
    EXPECT_TRUE(Requested(R"(uci get {"config":"halvex","type":"mqtt"} -> 0)"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.at("mqtt").at("port"), "1884");
    const json none = uci.Get("halvex", "mqtt", json{{"port", "1"}});
    EXPECT_TRUE(
        Requested(R"(uci get {"config":"halvex","match":{"port":"1"},"type":"mqtt"} -> 0)"));
    EXPECT_TRUE(none.empty());
}

TEST_F(NvramTest, UciChangesRoundTripThroughCommit) {
    UCI uci;
    const json node = {{"obj_path", "/org/bluez/hci0/dev_AA"}, {"device_id", "AAAAAAAAAAAA"}};
    ASSERT_TRUE(uci.Add("halvex", "node", node));
    EXPECT_TRUE(Requested(
        R"(uci add {"config":"halvex","type":"node","values":{"device_id":"AAAAAAAAAAAA","obj_path":"/org/bluez/hci0/dev_AA"}} -> 0)"));
    ASSERT_TRUE(uci.Add("halvex", "node", {{"obj_path", "/p/2"}, {"device_id", "BBBBBBBBBBBB"}}));

    const json match = {{"device_id", "AAAAAAAAAAAA"}};
    EXPECT_TRUE(uci.Set("halvex", "node", match, {{"time", "100"}}));
    EXPECT_TRUE(Requested(
        R"(uci set {"config":"halvex","match":{"device_id":"AAAAAAAAAAAA"},"type":"node","values":{"time":"100"}} -> 0)"));
    const json found = uci.Get("halvex", "node", match);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->at("time"), "100");

    EXPECT_TRUE(uci.Set("halvex", "mqtt", {{"port", "1999"}}));
    EXPECT_TRUE(uci.Rename("halvex", "auth", "credentials"));
    EXPECT_TRUE(
        Requested(R"(uci rename {"config":"halvex","name":"credentials","section":"auth"} -> 0)"));
    EXPECT_TRUE(uci.Delete("halvex", "node", {{"device_id", "BBBBBBBBBBBB"}}));
    EXPECT_TRUE(uci.Commit("halvex"));
    EXPECT_TRUE(Requested(R"(uci commit {"config":"halvex"} -> 0)"));

    const std::string text = ReadFile(configDir_ / "halvex");
    EXPECT_NE(text.find("option port '1999'"), std::string::npos) << text;
    EXPECT_NE(text.find("config auth 'credentials'"), std::string::npos) << text;
    EXPECT_NE(text.find("option time '100'"), std::string::npos) << text;
    EXPECT_EQ(text.find("/p/2"), std::string::npos) << text;
}

TEST_F(NvramTest, UciRefusalsAreFalse) {
    UCI uci;
    EXPECT_FALSE(uci.Set("halvex", "nosuch", {{"a", "b"}}));           // never creates a section
    EXPECT_FALSE(uci.Set("halvex", "mqtt", {{"port", 1.5}}));          // doubles refused
    EXPECT_FALSE(uci.Delete("halvex", "node", {{"device_id", "X"}}));  // nothing matches
    EXPECT_FALSE(uci.Rename("halvex", "mqtt", "bad-name"));
    EXPECT_FALSE(uci.Commit("wireless"));
    EXPECT_TRUE(Requested(R"(uci commit {"config":"wireless"} -> 4)"));
}

}  // namespace
