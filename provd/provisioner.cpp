#include "provisioner.h"

#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "bytes.h"
#include "crypto.h"
#include "download.h"
#include "fnv.h"
#include "json_error.h"
#include "log.h"
#include "paths.h"
#include "skeleton.h"
#include "static_address.h"
#include "ubus_payload.h"

using nlohmann::json;
using namespace fnv::literals;

namespace {

constexpr int kCallTimeout = 30;
constexpr std::size_t kIvSize = 16;
constexpr std::size_t kKeySize = 32;
constexpr const char* kHidden = "<hidden>";
constexpr auto kControllerSettle = std::chrono::seconds(1);
constexpr auto kBeforeReboot = std::chrono::milliseconds(200);

std::unique_ptr<NVRAM> LoadSettings() {
    auto nvram = std::make_unique<NVRAM>();
    nvram->LoadSysParams();
    return nvram;
}

std::chrono::seconds Seconds(int value, int fallback, const char* name) {
    if (value > 0)
        return std::chrono::seconds(value);
    LOGW << name << " " << value << " unusable, " << fallback << " used";
    return std::chrono::seconds(fallback);
}

// A real package is 1 to 2 KiB: the bound leaves a wide margin.
constexpr int kDefaultMaxPackage = 65536;

int Bytes(int value, int fallback, const char* name) {
    if (value > 0)
        return value;
    LOGW << name << " " << value << " unusable, " << fallback << " used";
    return fallback;
}

std::string Join(const std::vector<std::string>& texts) {
    std::string joined;
    for (const auto& t : texts)
        joined += (joined.empty() ? "" : ",") + t;
    return joined;
}

// "hciconfig hci0 up": its output (also its complaints) is read and dropped.
void ControllerUp() {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("hciconfig hci0 up 2>&1", "r"), pclose);
    if (!pipe)
        throw std::runtime_error("popen() failed!");
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
    }
}

}  // namespace

Provisioner::Provisioner() : Provisioner(LoadSettings()) {}

Provisioner::Provisioner(std::unique_ptr<NVRAM> settings, std::unique_ptr<Station> wlan,
                         timer::TimeSource& time)
    : timers(time),
      nvram(std::move(settings)),
      station(std::move(wlan)),
      listener(std::make_unique<ubus::Listener>()),
      wps_timeout(Seconds(nvram->wps_timeout, 100, "wps_timeout")),
      retry_delay(Seconds(nvram->retry_delay, 2, "retry_delay")) {
    download_options.ca_file = nvram->ca_file;
    download_options.verify_tls = nvram->tls_verify != 0;
    download_options.keep_going = &running;
    download_options.max_body =
        static_cast<std::size_t>(Bytes(nvram->max_package, kDefaultMaxPackage, "max_package"));
}

Provisioner::~Provisioner() {
    timers.CancelAll();
}

void Provisioner::Subscribe() {
    listener->Register("network.interface", [this](const char* json) { IfaceEventHandler(json); });
    listener->Register("wps_credentials", [this](const char* json) { WPSEventHandler(json); });
    RefreshStatus();
    snapshot.Serve(*listener, "provd", {"status"});
    listener->ServerStart();
}

void Provisioner::Unsubscribe() {
    listener->Unregister("network.interface");
    listener->Unregister("wps_credentials");
    listener->ServerStop();
}

void Provisioner::Run() {
    if (nvram->first_boot == 0) {
        LOGE << "Not the first boot: nothing to provision";
        return;
    }
    if (!download_options.verify_tls) {
        LOGW << "TLS verification is off (tls_verify 0): the provisioning server's certificate "
                "is not checked";
    }
    try {
        Subscribe();
        mailbox.Push(mailbox::Message(kInit));
        loop.AfterPass([this] { RefreshStatus(); });
        loop.Run(running, [this](mailbox::Message& message) { EvtMsgHandler(message); });
    } catch (const std::exception& e) {
        LOGE << e.what();
        running.store(false);
    }
    timers.CancelAll();
    Unsubscribe();
}

void Provisioner::EvtMsgHandler(mailbox::Message& message) {
    switch (message.code) {
        case kInit:
            Init();
            break;
        case kWpsTimeout:
            if (!WLANConnected())
                WPSStart();
            break;
        case kWpsCredentials:
            // The time-out stops while the station associates; if it does not, WPS is the
            // only way on, as after a time-out.
            ArmWpsTimer(kAssociationCheck);
            break;
        case kAssociationCheck:
            if (!WLANConnected()) {
                LOGE << "No association after the WPS credentials : WPS started again";
                WPSStart();
            }
            break;
        case kProvisioning:
            Provisioning();
            break;
        case kProvisioned:
            Reboot();
            break;
        default:  // "wan" down (3003) and anything else: nothing to do
            break;
    }
}

void Provisioner::Init() {
    LOGV << "";
    ControllerUp();
    skeleton::Sleep(kControllerSettle);
    std::string address;
    std::string serial;
    if (!ReadStaticAddress(address, serial)) {
        LOGE << "No identity from the controller: WPS not started";
        return;
    }
    identity_read = true;
    StoreIdentity(address, serial);
    WPSStart();
}

bool Provisioner::StoreIdentity(const std::string& address, const std::string& serial) {
    LOGI << "device_id : " << address;
    const bool sys = nvram->SetDeviceId(address) && nvram->SetSerialNumber(serial) &&
                     nvram->Commit(NVRAM::kConfig);
    const bool host = nvram->SetHostname(kHostnamePrefix + address) && nvram->Commit("system");
    if (!sys || !host)
        LOGE << "Identity not stored";
    return sys && host;
}

void Provisioner::WPSStart() {
    LOGV << "";
    station->StartWps();
    wps_state.store("running");
    ArmWpsTimer(kWpsTimeout);
}

void Provisioner::ArmWpsTimer(int32_t code) {
    timers.Cancel(wps_timer_id.load());
    wps_timer_id.store(timers.Add(wps_timeout, [this, code](bool aborted) {
        if (aborted)
            return;
        if (code == kWpsTimeout) {
            LOGE << "WPS Timeout";
            wps_state.store("timed out");
        }
        mailbox.Push(mailbox::Message(code));
    }));
}

void Provisioner::WPSEventHandler(const char* text) {
    try {
        const json payload = json::parse(text);
        LOGE << logging::Cut(HideSecrets(payload).dump());
        wps_state.store("credentials received");
        mailbox.Push(mailbox::Message(kWpsCredentials));
    } catch (const std::exception& e) {
        LOGE << JsonErrorText(e);  // the credentials hold the Wi-Fi key
    }
}

void Provisioner::IfaceEventHandler(const char* text) {
    try {
        const json event = json::parse(text);
        if (!event.is_object() || !event.contains("interface") || !event.contains("action"))
            return;
        if (fnv::Hash(event["interface"].get<std::string>()) != "wan"_hash)
            return;
        switch (fnv::Hash(event["action"].get<std::string>())) {
            case "ifdown"_hash:
                LOGE << "ifdown";
                mailbox.Push(mailbox::Message(mailbox::kWlanDisconnected));
                break;
            case "ifup"_hash:
                LOGE << "ifup";
                mailbox.Push(mailbox::Message(kProvisioning));
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        LOGE << e.what();
    }
}

bool Provisioner::WLANConnected() {
    const bool connected = station->Associated();
    LOGV << connected;
    return connected;
}

bool Provisioner::InternetConnected(const std::string& host) {
    if (gethostbyname(host.c_str()) == nullptr) {
        LOGV << "ERROR : " << hstrerror(h_errno);
        return false;
    }
    return true;
}

bool Provisioner::DownloadFile(const std::string& url, const std::string& name,
                               const std::string& dir) {
    return ::DownloadFile(url, name, dir, download_options);
}

void Provisioner::SendEvtMsg(const mailbox::Message& message, std::chrono::seconds delay) {
    // One retry chain: an "ifup" during a retry must not start a second one.
    if (message.code == kProvisioning)
        timers.Cancel(retry_timer_id);
    const uint64_t id = timers.Add(delay, [this, message](bool aborted) {
        if (!aborted)
            mailbox.Push(message);
    });
    if (message.code == kProvisioning)
        retry_timer_id = id;
}

void Provisioner::Provisioning() {
    LOGV << "";
    if (provisioned)
        return;
    const std::string probe = nvram->probe_host.empty() ? kDefaultProbeHost : nvram->probe_host;
    if (!InternetConnected(probe)) {
        LOGE << "Internet not ready. Retry after " << retry_delay.count() << " seconds..";
        SendEvtMsg(mailbox::Message(kProvisioning), retry_delay);
        return;
    }
    // The key material first: without an identity there is no package to ask for.
    std::optional<std::vector<unsigned char>> hash_iv;
    std::optional<std::vector<unsigned char>> hash_key;
    if (const auto id = HexToBytes(nvram->device_id))
        hash_iv = SHAKE256Hash(*id, kIvSize);
    if (const auto serial = HexToBytes(nvram->serial_number))
        hash_key = SHAKE256Hash(*serial, kKeySize);
    if (!hash_iv || !hash_key) {
        LOGE << "Critical Error";
        LOGE << "LED Error(RED) & Stop";
        return;
    }
    LOGV << "hash_iv : " << kHidden;
    LOGV << "hash_key : " << kHidden;

    const std::string url = nvram->prov_url.empty() ? kDefaultProvUrl : nvram->prov_url;
    const std::string dir = paths::TmpDir();
    ++download_attempts;
    if (!DownloadFile(url, nvram->device_id, dir)) {
        ++download_retries;
        LOGE << "Download Failed.." << download_retries;
        if (download_retries < kMaxDownloads) {
            SendEvtMsg(mailbox::Message(kProvisioning), retry_delay);
        } else {
            LOGE << "LED Error(RED) & Stop";
        }
        return;
    }
    const std::string path = dir + "/" + nvram->device_id;
    const bool applied = ApplyFile(path, *hash_iv, *hash_key);
    // The package holds the Wi-Fi key and the tokens: it goes, applied or refused.
    unlink(path.c_str());
    if (!applied)
        return;
    provisioned = true;
    SendEvtMsg(mailbox::Message(kProvisioned), kRebootDelay);
}

bool Provisioner::ApplyFile(const std::string& path, const std::vector<unsigned char>& iv,
                            const std::vector<unsigned char>& key) {
    const auto data = ReadFile(path);
    if (!data) {
        LOGE << "File Error";
        return false;
    }
    const auto plain = AES256_CBC(iv).Decrypt(key, *data);
    if (!plain) {
        LOGE << "Critical Error : the package does not decrypt";
        return false;
    }
    return ApplyDocument(*plain);
}

bool Provisioner::ApplyDocument(const std::vector<unsigned char>& plain) {
    json document;
    try {
        // Copying or printing a value recurses once per level: a document nested very deep
        // would run the stack out. A real package is three levels deep.
        if (!ubus::payload::ShallowEnough(std::string(plain.begin(), plain.end()).c_str()))
            throw std::invalid_argument("the package is nested too deep");
        document = json::parse(plain.begin(), plain.end());
    } catch (const std::exception& e) {
        LOGE << JsonErrorText(e);
        return false;
    }
    LOGV << HideSecrets(document).dump();
    std::string error;
    const auto package = ParsePackage(document, error);
    if (!package) {
        LOGE << error;
        return false;
    }
    return ApplyPackage(*package);
}

bool Provisioner::ApplyPackage(const ProvisioningPackage& package) {
    // In the document's member order; each package is committed once, after every change of
    // the document was taken.
    std::vector<std::string> touched;
    bool ok = true;
    if (package.network) {
        touched.push_back("network");
        ok = ConfigNetwork(*package.network);
    }
    if (ok && package.tokens) {
        touched.push_back(NVRAM::kConfig);
        ok = ConfigToken(*package.tokens);
    }
    if (ok && package.wireless) {
        touched.push_back("wireless");
        ok = ConfigWireless(*package.wireless);
    }
    if (!ok) {
        for (const auto& config : touched)
            nvram->Revert(config);
        LOGE << "Package not applied: a setting was refused";
        return false;
    }
    for (const auto& config : touched) {
        if (!nvram->Commit(config)) {
            LOGE << "Commit of " << config << " failed";
            ok = false;
        }
    }
    return ok;
}

bool Provisioner::ConfigWireless(const WirelessSettings& wireless) {
    LOGV << "ssid : " << wireless.ssid;
    LOGV << "encryption : " << wireless.encryption;
    LOGV << "key : " << kHidden;
    return nvram->SetWirelessParams(wireless.ssid, wireless.encryption, wireless.key);
}

bool Provisioner::ConfigToken(const TokenSettings& tokens) {
    LOGV << "access_token : " << kHidden;
    LOGV << "refresh_token : " << kHidden;
    return nvram->SetAuthParams(tokens.access, tokens.refresh);
}

bool Provisioner::ConfigNetwork(const NetworkSettings& network) {
    LOGV << "proto : " << network.proto;
    LOGV << "ipaddr : " << network.ipaddr;
    LOGV << "netmask : " << network.netmask;
    LOGV << "gateway : " << network.gateway;
    LOGV << "dns : " << Join(network.dns);
    return nvram->SetNetworkParams(network.proto, network.ipaddr, network.netmask, network.gateway,
                                   network.dns);
}

void Provisioner::Reboot() {
    LOGV << "";
    if (!nvram->SetFirstBoot() || !nvram->Commit(NVRAM::kConfig)) {
        // Rebooting now would provision again at the next start, and again after that.
        LOGE << "first_boot not cleared: no reboot";
        return;
    }
    skeleton::Sleep(kBeforeReboot);
    LOGI << "Reboot";
    ubus::Sender(kCallTimeout).Invoke("system", "reboot", "");
}

void Provisioner::RefreshStatus() {
    if (!snapshot.Due())
        return;
    // provd runs only on a first boot: once provisioned it ends, and so does this object.
    snapshot.Set("status", {{"first_boot", nvram->first_boot != 0},
                            {"provisioned", provisioned},
                            {"identity_read", identity_read},
                            {"wps", wps_state.load()},
                            {"download_attempts", download_attempts}});
}
