#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http_post.h"
#include "mailbox.h"
#include "main_loop.h"
#include "nvram.h"
#include "package.h"
#include "station.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "timer_queue.h"
#include "ubus.h"

// provd's main object: on the first boot it reads the gateway's identity from the Bluetooth
// controller, runs WPS until the station is associated, and when "wan" comes up fetches the
// encrypted provisioning package, writes its settings, clears the first-boot flag and reboots.
class Provisioner {
  public:
    static constexpr int32_t kInit = 3021;
    // The supplicant has the access point's credentials and associates now.
    static constexpr int32_t kWpsCredentials = 3022;
    // One WPS period after the credentials: WPS starts again unless the station associated.
    static constexpr int32_t kAssociationCheck = 3023;
    static constexpr int32_t kWpsTimeout = 3024;
    static constexpr int32_t kProvisioning = 3025;
    static constexpr int32_t kProvisioned = 3026;
    static constexpr std::chrono::milliseconds kLoopPeriod{200};
    static constexpr unsigned kMaxDownloads = 10;
    static constexpr std::chrono::seconds kRebootDelay{2};
    static constexpr const char* kDefaultProvUrl = "https://prov.halvex.net/provisioning";
    static constexpr const char* kDefaultProbeHost = "www.google.com";
    static constexpr const char* kHostnamePrefix = "brelix-";

    // Loads the "sys" settings.
    Provisioner();
    // Given settings, station and clock (tests).
    explicit Provisioner(std::unique_ptr<NVRAM> nvram,
                         std::unique_ptr<Station> station = std::make_unique<UbusStation>(),
                         timer::TimeSource& time = timer::SteadyTime());
    Provisioner(const Provisioner&) = delete;
    Provisioner& operator=(const Provisioner&) = delete;
    virtual ~Provisioner();

    void Run();
    // Safe from a signal handler.
    void Stop() { running.store(false); }

    void EvtMsgHandler(mailbox::Message& message);
    mailbox::MainLoop& Loop() { return loop; }
    void Init();
    void WPSStart();
    void Provisioning();
    void Reboot();

    void WPSEventHandler(const char* json);
    void IfaceEventHandler(const char* json);

    bool WLANConnected();
    bool InternetConnected(const std::string& host);
    bool DownloadFile(const std::string& url, const std::string& name, const std::string& dir);
    // Posts `message` after `delay`; a provisioning retry replaces one still pending.
    void SendEvtMsg(const mailbox::Message& message, std::chrono::seconds delay);

    // Each logs its values (secrets hidden) and stages them; false when the store refused.
    bool ConfigWireless(const WirelessSettings& wireless);
    bool ConfigToken(const TokenSettings& tokens);
    bool ConfigNetwork(const NetworkSettings& network);
    // Checks and applies a decrypted package; true when it was applied.
    bool ApplyDocument(const std::vector<unsigned char>& plain);

  private:
    // Replaces the pending WPS timer with one that posts `code` after a WPS period.
    void ArmWpsTimer(int32_t code);
    // Main loop: the status object's answers.
    void RefreshStatus();
    void Subscribe();
    void Unsubscribe();
    // Writes the package's settings; nothing stays staged when one is refused.
    bool ApplyPackage(const ProvisioningPackage& package);
    // Decrypts the downloaded file and applies it.
    bool ApplyFile(const std::string& path, const std::vector<unsigned char>& iv,
                   const std::vector<unsigned char>& key);
    bool StoreIdentity(const std::string& address, const std::string& serial);

    queue::ThreadSafeQueue<mailbox::Message> mailbox;
    std::atomic<bool> running{true};  // true from the start: a stop may come before Run
    mailbox::MainLoop loop{mailbox, kLoopPeriod};
    timer::TimerQueue timers;
    std::atomic<uint64_t> wps_timer_id{0};
    uint64_t retry_timer_id = 0;
    bool provisioned = false;
    uint32_t download_retries = 0;
    std::unique_ptr<NVRAM> nvram;
    std::unique_ptr<Station> station;
    // Status: main loop, but for the WPS state the ubus thread sets.
    bool identity_read = false;
    uint32_t download_attempts = 0;
    std::atomic<const char*> wps_state{"idle"};
    status::Snapshot snapshot{status::PackageVersion("provd")};  // before the listener
    std::unique_ptr<ubus::Listener> listener;

    std::chrono::seconds wps_timeout;
    std::chrono::seconds retry_delay;
    http::PostOptions download_options;
};
