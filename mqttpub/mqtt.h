#pragma once

#include <mosquittopp.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "discovery.h"
#include "heartbeat.h"
#include "mailbox.h"
#include "main_loop.h"
#include "nvram.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "timer_queue.h"
#include "ubus.h"

// mqttpub's main object: publishes every "brelix.sensor" reading to the broker of the "mqtt"
// settings, connecting when the supervisor reports the internet up. Optional: TLS and a login,
// the gateway's availability, QoS 1 readings held (bounded) while the broker is away, and Home
// Assistant discovery.
class MQTT : public mosqpp::mosquittopp {
  public:
    static constexpr int32_t kSensorReading = 3007;
    // The library's network thread ended on an error it does not retry.
    static constexpr int32_t kNetworkEnded = 3100;
    // The broker accepted the connection.
    static constexpr int32_t kConnected = 3101;
    // A message from a subscription (Home Assistant's status, retained discovery configs).
    static constexpr int32_t kBrokerMessage = 3102;
    static constexpr std::size_t kMaxBrokerMessage = 64 * 1024;
    static constexpr std::size_t kMaxLibraryErrors = 4096;
    // How long a stop waits for "offline" and the DISCONNECT to leave.
    static constexpr std::chrono::milliseconds kStopWait{500};

    // Loads the "mqtt" settings.
    MQTT();
    // Given settings (tests); restart_delay is the first wait before a network thread that
    // ended on an error is started again (it doubles up to a minute while no connect succeeds).
    // time drives the restart timers.
    explicit MQTT(std::unique_ptr<NVRAM> nvram,
                  std::chrono::milliseconds restart_delay = std::chrono::seconds(1),
                  timer::TimeSource& time = timer::SteadyTime());
    ~MQTT() override;

    void Run();
    // Safe from a signal handler.
    void Stop() { running_.store(false); }

    // The library's network thread; Run starts and stops it around its loop. A stop says
    // "offline" first when availability is on.
    bool StartNetwork();
    void StopNetwork();
    // Starts the network thread again after it ended on its own; the connection is retried.
    void RestartNetwork();

    bool Connect(const std::string& host, const int& port);
    // A reading; at QoS 1 it is refused (and counted as lost) while max_queued are held.
    bool Publish(const std::string& topic, const std::string& payload, int qos);

    void ProcessUBUSSensorHandler(const char* json);
    void ProcessUBUSManagerHandler(const char* json);
    // Handles one queued message; false when there was none.
    bool MessageHandler();
    void Handle(mailbox::Message& msg);

    bool Connected() const { return connected_.load(); }
    // Successful connections so far.
    uint64_t Connections() const { return connections_.load(); }
    // QoS 1 messages handed to the library and not yet acknowledged by the broker.
    int64_t Held() const { return held_.load(); }
    // Readings lost so far (refused by the library, or over the bound of held ones).
    uint64_t Lost() const { return lost_total_; }

    void on_connect(int rc) override;
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;
    void on_message(const struct mosquitto_message* message) override;
    void on_log(int level, const char* text) override;

  private:
    // Main loop: the status object's answers.
    void RefreshStatus();
    void Subscribe();
    void Unsubscribe();
    void ScheduleRestart(int rc);
    bool Configure();
    void OnConnected();
    void OnBrokerMessage(const MqttMessage& m);
    void PublishConfigs();
    // The gateway's own messages: QoS 1, not bounded by max_queued.
    void Send(const std::string& topic, const std::string& payload, bool retain);
    void CountLost(const char* why);
    void SayOffline();
    std::string TlsRefusal();

    std::atomic<bool> connected_{false};
    std::atomic<bool> running_{true};  // true from the start: a stop may come before Run
    queue::ThreadSafeQueue<mailbox::Message> queue_;
    mailbox::MainLoop loop_;
    std::unique_ptr<NVRAM> nvram_;
    // Status: the counters are the main loop's, the time the network thread's.
    uint64_t published_ = 0;
    std::atomic<int64_t> connected_since_{0};                       // Unix seconds
    status::Snapshot snapshot_{status::PackageVersion("mqttpub")};  // before the listener
    std::unique_ptr<ubus::Listener> listener_;
    std::unique_ptr<timer::TimerQueue> timers_;
    heartbeat::Sender heartbeat_;

    std::atomic<bool> reconnect_tried_{false};  // one immediate retry per refused Connect
    std::atomic<uint64_t> connections_{0};
    const std::chrono::milliseconds first_restart_delay_;
    std::atomic<int64_t> restart_delay_ms_;
    std::size_t lost_ = 0;  // readings the library refused since the last accepted one
    uint64_t lost_total_ = 0;
    bool library_retries_ = false;  // connect_async has handed the broker to the network thread

    bool configured_ = false;   // TLS and login set up as the settings ask
    std::string status_topic_;  // empty: availability off
    std::optional<Discovery> discovery_;
    std::atomic<int64_t> held_{0};       // counted only when readings go at QoS 1
    std::atomic<bool> answered_{false};  // the broker sent a CONNACK on this connection
    const std::thread::id main_thread_ = std::this_thread::get_id();  // the one that connects
    std::atomic<bool> restart_pending_{false};
    std::mutex library_errors_mutex_;
    std::string library_errors_;  // the library's error lines since the last connection ended
};
