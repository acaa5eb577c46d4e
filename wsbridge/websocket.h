#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/ssl/context.hpp>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include "channel_protocol.h"
#include "heartbeat.h"
#include "mailbox.h"
#include "main_loop.h"
#include "nvram.h"
#include "status_snapshot.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "timer_queue.h"
#include "ubus.h"

// wsbridge's main object: holds the TLS WebSocket to the cloud while the supervisor reports
// the internet up, subscribes the gateway's and the sensors' channels, and relays the sensor
// commands the cloud pushes to blehub.
class Websocket {
  public:
    using Client = websocketpp::client<websocketpp::config::asio_tls_client>;
    using Context = std::shared_ptr<boost::asio::ssl::context>;

    // Frames above this close the connection (the library's default is 32 MB).
    static constexpr std::size_t kMaxFrameBytes = 1 << 20;
    // An open connection on which nothing arrives for this long, not even the cloud's ping,
    // is closed.
    static constexpr std::chrono::seconds kLinkTimeout{10};

    // Loads the "sys" and "auth" settings and the stored sensors.
    Websocket();
    // Given settings and sensors (tests).
    Websocket(std::unique_ptr<NVRAM> nvram, const std::vector<std::string>& nodes);
    Websocket(const Websocket&) = delete;
    Websocket& operator=(const Websocket&) = delete;
    virtual ~Websocket();

    void Run();
    // Safe from a signal handler.
    void Stop() { running_.store(false); }

    // Main thread.
    bool Open();
    void Close();
    bool SendMessage(const std::string& msg);
    bool SubscribeGateway(const std::string& id);
    bool SubscribeSensor(const std::string& id);
    bool UnsubscribeSensor(const std::string& id);
    bool BroadcastWSMesasage(const std::string& text);
    void EvtMessageHandler(mailbox::Message& msg);

    // ubus thread: parse and queue.
    void UBUSManagerHandler(const char* json);
    void UBUSWebsocketHandler(const char* json);

    // Network thread: the library's callbacks.
    void OpenHandler(websocketpp::connection_hdl hdl);
    void CloseHandler(websocketpp::connection_hdl hdl);
    void FailHandler(websocketpp::connection_hdl hdl);
    bool PingHandler(websocketpp::connection_hdl hdl, std::string payload);
    void WSMessageHandler(websocketpp::connection_hdl hdl, Client::message_ptr msg);
    Context TLSInitHandler(websocketpp::connection_hdl hdl);

    // Ends the network thread: a closing handshake gets a moment to finish, anything else
    // (a handshake with a silent server) is cut off. Also done by the destructor.
    void StopNetwork();

    bool Connected() const { return connected_.load(); }
    const std::vector<std::string>& Nodes() const { return nodes_.Ids(); }
    mailbox::MainLoop& Loop() { return loop_; }

  private:
    enum class Link { kClosed, kOpening, kOpen };

    // Main loop: the status object's answers.
    void RefreshStatus();
    void SetCloseReason(std::string reason);

    void Subscribe();
    void Unsubscribe();
    void Opened(const websocketpp::connection_hdl& hdl);
    void Ended(const websocketpp::connection_hdl& hdl);
    void CheckLink(const websocketpp::connection_hdl& hdl);
    void ArmLinkCheck(timer::Clock::duration delay);
    bool Current(const websocketpp::connection_hdl& hdl) const;
    void Heard();
    void NetworkThread();

    Client client_;
    std::unique_ptr<NVRAM> nvram_;
    const std::string cloud_url_;  // the channel server's url as read at start
    timer::TimeSource& time_ = timer::SteadyTime();
    std::atomic<bool> connected_{false};
    std::atomic<bool> running_{true};  // true from the start: a stop may come before Run
    std::atomic<bool> internet_{false};
    std::atomic<timer::Clock::rep> last_heard_{0};  // time_ when the last frame arrived

    queue::ThreadSafeQueue<mailbox::Message> queue_;
    mailbox::MainLoop loop_;
    // Status: main loop, but for the close reason the network thread gives.
    int64_t open_since_ = 0;  // Unix seconds
    uint64_t relayed_ = 0;
    std::mutex close_mutex_;
    std::string close_reason_;
    status::Snapshot snapshot_{status::PackageVersion("wsbridge")};  // before the listener
    std::unique_ptr<ubus::Listener> listener_;
    std::unique_ptr<timer::TimerQueue> timers_;
    heartbeat::Sender heartbeat_;

    // Main thread only.
    channel::NodeList nodes_;
    websocketpp::connection_hdl hdl_;  // the connection being opened or open
    Link link_ = Link::kClosed;
    uint64_t link_timer_ = 0;

    std::promise<void> network_done_;
    std::future<void> network_ended_;
    std::thread network_;  // last: started once everything above exists
};
