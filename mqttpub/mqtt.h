#pragma once

#include <mosquittopp.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "heartbeat.h"
#include "mailbox.h"
#include "main_loop.h"
#include "nvram.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "timer_queue.h"
#include "ubus.h"

// mqttpub's main object: publishes every "brelix.sensor" reading to the broker of the "mqtt"
// settings, connecting when the supervisor reports the internet up.
class MQTT : public mosqpp::mosquittopp {
  public:
    static constexpr int32_t kSensorReading = 3007;
    // The library's network thread ended on an error it does not retry.
    static constexpr int32_t kNetworkEnded = 3100;

    // Loads the "mqtt" settings.
    MQTT();
    // Given settings (tests); restart_delay is the first wait before a network thread that
    // ended on an error is started again (it doubles up to a minute while no connect succeeds).
    explicit MQTT(std::unique_ptr<NVRAM> nvram,
                  std::chrono::milliseconds restart_delay = std::chrono::seconds(1));
    ~MQTT() override;

    void Run();
    // Safe from a signal handler.
    void Stop() { running_.store(false); }

    // The library's network thread; Run starts and stops it around its loop.
    bool StartNetwork();
    void StopNetwork();
    // Starts the network thread again after it ended on its own; the connection is retried.
    void RestartNetwork();

    bool Connect(const std::string& host, const int& port);
    bool Publish(const std::string& topic, const std::string& payload, int qos);

    void ProcessUBUSSensorHandler(const char* json);
    void ProcessUBUSManagerHandler(const char* json);
    // Handles one queued message; false when there was none.
    bool MessageHandler();
    void Handle(mailbox::Message& msg);

    bool Connected() const { return connected_.load(); }
    // Successful connections so far.
    uint64_t Connections() const { return connections_.load(); }

    void on_connect(int rc) override;
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;

  private:
    // Main loop: the status object's answers.
    void RefreshStatus();
    void Subscribe();
    void Unsubscribe();
    void ScheduleRestart(int rc);

    std::atomic<bool> connected_{false};
    std::atomic<bool> running_{true};  // true from the start: a stop may come before Run
    queue::ThreadSafeQueue<mailbox::Message> queue_;
    mailbox::MainLoop loop_;
    std::unique_ptr<NVRAM> nvram_;
    // Status: the counters are the main loop's, the time the network thread's.
    uint64_t published_ = 0;
    uint64_t failed_ = 0;
    std::atomic<int64_t> connected_since_{0};                       // Unix seconds
    status::Snapshot snapshot_{status::PackageVersion("mqttpub")};  // before the listener
    std::unique_ptr<ubus::Listener> listener_;
    std::unique_ptr<timer::TimerQueue> timers_;
    heartbeat::Sender heartbeat_;

    std::atomic<bool> reconnect_tried_{false};  // one immediate retry per refused Connect
    std::atomic<uint64_t> connections_{0};
    const std::chrono::milliseconds first_restart_delay_;
    std::atomic<int64_t> restart_delay_ms_;
    std::size_t lost_ = 0;          // readings the library refused since the last accepted one
    bool library_retries_ = false;  // connect_async has handed the broker to the network thread
};
