#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "authorization.h"
#include "heartbeat_manager.h"
#include "http_post.h"
#include "mailbox.h"
#include "main_loop.h"
#include "name_probe.h"
#include "nvram.h"
#include "service_control.h"
#include "settings.h"
#include "status_event.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "timer_queue.h"
#include "ubus.h"

// What the supervisor does to the world outside it. An empty member means the real thing:
// the main loop's bus connection, "rc", the C library's resolver, HttpPost, "uci".
struct Outside {
    std::function<bool(const char* type, const std::string& json)> send_event;
    supervd::ServiceFn service;
    supervd::NameProbe::Resolve resolve;
    supervd::PostFn post;
    supervd::Authorizer::StoreFn store_tokens;
};

// supervd's main object: heartbeats and error reports of the other daemons, the uplink's
// interface events and the periodic name lookup come in as messages; its main loop restarts
// silent daemons, recovers the Bluetooth stack and broadcasts the network state.
class Manager {
  public:
    static constexpr std::chrono::seconds kFirstCheck{1};
    static constexpr int kErrCharacteristic = 2001;
    static constexpr int kErrBluez = 2002;
    static constexpr int kReservedCode = 1005;

    // Loads the "auth" and "sys" settings.
    Manager();
    // Given settings, clock and outside world (tests).
    Manager(std::unique_ptr<NVRAM> nvram, Settings settings, timer::TimeSource& time,
            Outside outside);
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;
    virtual ~Manager();

    void Run();
    // Safe from a signal handler.
    void Stop() { running.store(false); }

    void ProcessUBUSHandler(const char* json);
    void NetMonUBUSHandler(const char* json);
    void MessageHandler(mailbox::Message& message);
    bool BroadcastEvent(const std::string& kind, const std::string& state);
    void ServiceReload(const int& code);
    void BluetoothRecover();
    // Timer handler: starts a name lookup and arms the next check.
    void InternetCheck(bool aborted);

    // One pass of the main loop (tests).
    std::size_t Pass();
    HeartbeatManager& Heartbeats() { return heartbeats; }
    supervd::BluetoothRecovery& Recovery() { return recovery; }
    supervd::Authorizer& Authorization() { return authorizer; }
    queue::ThreadSafeQueue<mailbox::Message>& Queue() { return queue; }
    const Settings& Options() const { return settings; }

  private:
    // Main loop: the status object's answers.
    void RefreshStatus();
    void Subscribe();
    void Unsubscribe();
    void TearDown();
    bool Service(const std::string& name, const std::string& action);
    http::Response Post(const std::string& url, const std::vector<std::string>& headers,
                        const std::string& body);
    bool StoreTokens(const std::string& access, const std::string& refresh);
    void ReportLookup(const std::string& host, const supervd::Lookup& lookup);
    void InternetState(bool up);
    // Broadcasts the wlan and internet state known so far.
    void SendState(const supervd::Heartbeat& beat);
    void MaybeAuthorize();
    bool FirstBoot() const;

    std::unique_ptr<NVRAM> nvram;
    Settings settings;
    Outside outside;
    http::PostOptions post_options;

    queue::ThreadSafeQueue<mailbox::Message> queue;
    mailbox::MainLoop loop;
    std::atomic<bool> running{true};     // true from the start: a stop may come before Run
    bool internet_up = false;            // main thread only
    std::optional<bool> wlan_state;      // main thread: none until the first "wan" event
    std::optional<bool> internet_state;  // main thread: none until the first check
    bool auth_incomplete_logged = false;
    // Status: main loop, but for the lookup the probe thread reports.
    struct Watched {
        int64_t heartbeat = 0;  // Unix seconds of the last one
        uint64_t restarts = 0;
        int64_t last_restart = 0;
    };
    std::map<int, Watched> watched;  // by daemon code
    uint64_t bt_recoveries = 0;
    std::atomic<int64_t> last_lookup{0};
    std::atomic<bool> last_lookup_ok{false};
    status::Snapshot snapshot{status::PackageVersion("supervd")};  // before the listener
    std::unique_ptr<ubus::Listener> listener;
    HeartbeatManager heartbeats;
    supervd::BluetoothRecovery recovery;
    supervd::Authorizer authorizer;
    supervd::NameProbe probe;
    timer::TimerQueue timers;  // last: its handler uses everything above
};
