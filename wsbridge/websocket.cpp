#include "websocket.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <exception>
#include <stdexcept>

#include "log.h"
#include "manager_event.h"
#include "messages.h"

using websocketpp::connection_hdl;

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);
constexpr auto kHeartbeatPeriod = std::chrono::seconds(5);
// How long a stop waits for a closing handshake before it cuts the network thread off.
constexpr auto kCloseGrace = std::chrono::seconds(1);
constexpr websocketpp::close::status::value kCloseCode = websocketpp::close::status::normal;
constexpr const char* kCloseReason = "no-ping";

std::unique_ptr<NVRAM> LoadSettings() {
    auto nvram = std::make_unique<NVRAM>();
    nvram->LoadSysParams();
    nvram->LoadAuthParams();
    return nvram;
}

bool IsIpAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The server's certificate must name `host` (an IP address is checked against the
// certificate's addresses); OpenSSL checks it during the handshake.
void RequireHost(boost::asio::ssl::context& ctx, const std::string& host) {
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.native_handle());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int ok = IsIpAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                     : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    if (ok != 1)
        throw std::runtime_error("cannot check the server's name against " + host);
}

// Where the channel server is: the "url" as it is when it can be read (a bare host name or
// host:port too), else the built-in cloud host. Empty when no url is set.
std::string CloudUrl(const std::string& url) {
    if (url.empty() || !UrlAuthority(url).empty())
        return url;
    LOGW << "url " << logging::Cut(url) << " cannot be read : " << NVRAM::kDefaultCloudHost
         << " used";
    return NVRAM::kDefaultCloudHost;
}

}  // namespace

Websocket::Websocket() : Websocket(LoadSettings(), NVRAM().NodeIds()) {}

Websocket::Websocket(std::unique_ptr<NVRAM> nvram, const std::vector<std::string>& nodes)
    : nvram_(std::move(nvram)),
      cloud_url_(CloudUrl(nvram_->url)),
      loop_(queue_, kLoopPeriod),
      listener_(std::make_unique<ubus::Listener>()),
      timers_(std::make_unique<timer::TimerQueue>(time_)),
      heartbeat_(*timers_, heartbeat::kWsbridge, kHeartbeatPeriod) {
    for (const auto& id : nodes)
        nodes_.Add(id);

    // The library's own logging stays silent; we log through ours.
    client_.clear_access_channels(websocketpp::log::alevel::all);
    client_.clear_error_channels(websocketpp::log::elevel::all);
    client_.init_asio();
    client_.start_perpetual();
    client_.set_max_message_size(kMaxFrameBytes);

    using std::placeholders::_1;
    using std::placeholders::_2;
    client_.set_open_handler(std::bind(&Websocket::OpenHandler, this, _1));
    client_.set_close_handler(std::bind(&Websocket::CloseHandler, this, _1));
    client_.set_fail_handler(std::bind(&Websocket::FailHandler, this, _1));
    client_.set_ping_handler(std::bind(&Websocket::PingHandler, this, _1, _2));
    client_.set_message_handler(std::bind(&Websocket::WSMessageHandler, this, _1, _2));
    client_.set_tls_init_handler(std::bind(&Websocket::TLSInitHandler, this, _1));

    network_ended_ = network_done_.get_future();
    network_ = std::thread(&Websocket::NetworkThread, this);
}

Websocket::~Websocket() {
    StopNetwork();
    timers_.reset();
}

void Websocket::NetworkThread() {
    for (;;) {
        try {
            client_.run();
            break;
        } catch (const std::exception& e) {
            // A callback that threw: the loop goes on with the next event.
            LOGE << e.what();
        }
    }
    network_done_.set_value();
}

void Websocket::StopNetwork() {
    if (!network_.joinable())
        return;
    client_.stop_perpetual();
    if (network_ended_.wait_for(kCloseGrace) != std::future_status::ready)
        client_.stop();
    network_.join();
}

void Websocket::Subscribe() {
    listener_->Register("brelix.manager", [this](const char* json) { UBUSManagerHandler(json); });
    listener_->Register(channel::kWebsocketEvent,
                        [this](const char* json) { UBUSWebsocketHandler(json); });
    RefreshStatus();
    snapshot_.Serve(*listener_, "wsbridge", {"status"});
    listener_->ServerStart();
}

void Websocket::Unsubscribe() {
    listener_->Unregister("brelix.manager");
    listener_->Unregister(channel::kWebsocketEvent);
    listener_->ServerStop();
}

void Websocket::Run() {
    if (nvram_->tls_verify == 0) {
        LOGW << "TLS verification is off (tls_verify 0): the cloud's certificate is not checked";
    }
    try {
        Subscribe();
        heartbeat_.Start(std::chrono::seconds(0));
        loop_.AfterPass([this] { RefreshStatus(); });
        loop_.Run(running_, [this](mailbox::Message& msg) { EvtMessageHandler(msg); });
    } catch (const std::exception& e) {
        LOGE << e.what();
        running_.store(false);
    }
    heartbeat_.Stop();
    timers_->CancelAll();
    Unsubscribe();
    Close();
    StopNetwork();
}

bool Websocket::Open() {
    LOGV << "";
    if (!internet_.load())
        return false;
    if (link_ != Link::kClosed)
        return true;  // open, or its handshake is under way
    if (cloud_url_.empty() || nvram_->access_token.empty())
        return false;
    const std::string uri = channel::CableUri(cloud_url_, nvram_->access_token);
    websocketpp::lib::error_code ec;
    Client::connection_ptr con = client_.get_connection(uri, ec);
    if (ec) {
        LOGE << "Connect initialization error : " << ec.message();
        return false;
    }
    hdl_ = con->get_handle();
    link_ = Link::kOpening;
    client_.connect(con);
    return true;
}

void Websocket::Close() {
    // A handshake under way is closed when it opens (internet_ is down then, or we stop).
    if (link_ != Link::kOpen)
        return;
    websocketpp::lib::error_code ec;
    client_.close(hdl_, kCloseCode, kCloseReason, ec);
    if (ec) {
        LOGE << "Error closing connection : " << ec.message();
    }
}

bool Websocket::SendMessage(const std::string& msg) {
    LOGV << msg;
    websocketpp::lib::error_code ec;
    client_.send(hdl_, msg, websocketpp::frame::opcode::text, ec);
    if (ec) {
        LOGE << "Error sending message : " << ec.message();
        return false;
    }
    return true;
}

bool Websocket::SubscribeGateway(const std::string& id) {
    if (link_ != Link::kOpen)
        return false;
    if (id.empty()) {
        LOGW << "No device id : the gateway channel is not subscribed";
        return false;
    }
    return SendMessage(channel::Subscribe(channel::kGatewayChannel, id));
}

bool Websocket::SubscribeSensor(const std::string& id) {
    // Kept also when sent now, so that every later open subscribes it again.
    nodes_.Add(id);
    if (link_ != Link::kOpen)
        return false;
    return SendMessage(channel::Subscribe(channel::kSensorChannel, id));
}

bool Websocket::UnsubscribeSensor(const std::string& id) {
    nodes_.Remove(id);
    return SendMessage(channel::Unsubscribe(channel::kSensorChannel, id));
}

bool Websocket::BroadcastWSMesasage(const std::string& text) {
    LOGV << text;
    return loop_.Events().SendEvent(channel::kWebsocketEvent, text);
}

void Websocket::EvtMessageHandler(mailbox::Message& msg) {
    switch (msg.code) {
        case mailbox::kWlanDisconnected:
        case mailbox::kInternetDisconnected:
            internet_.store(false);
            Close();
            break;
        case mailbox::kWlanConnected:
            break;
        case mailbox::kInternetConnected:
            internet_.store(true);
            Open();
            break;
        case kSubscribe: {
            const auto& id = *msg.As<std::string>();
            LOGV << "Subscribe (" << id << ")";
            SubscribeSensor(id);
            break;
        }
        case kUnsubscribe: {
            const auto& id = *msg.As<std::string>();
            LOGV << "Unsubscribe (" << id << ")";
            UnsubscribeSensor(id);
            break;
        }
        case kSensorFolds:
        case kSensorBeacon:
            if (BroadcastWSMesasage(msg.As<nlohmann::json>()->dump()))
                ++relayed_;
            break;
        case kConnectionOpened:
            Opened(*msg.As<connection_hdl>());
            break;
        case kConnectionFailed:
        case kConnectionClosed:
            Ended(*msg.As<connection_hdl>());
            break;
        case kLinkCheck:
            CheckLink(*msg.As<connection_hdl>());
            break;
        default:
            break;
    }
}

bool Websocket::Current(const connection_hdl& hdl) const {
    return link_ != Link::kClosed && !hdl.owner_before(hdl_) && !hdl_.owner_before(hdl);
}

void Websocket::Opened(const connection_hdl& hdl) {
    if (!Current(hdl))
        return;
    link_ = Link::kOpen;
    if (!internet_.load() || !running_.load()) {
        Close();  // the network went down while the handshake ran
        return;
    }
    ArmLinkCheck(kLinkTimeout);
    open_since_ = status::UnixNow();
    SubscribeGateway(nvram_->device_id);
    for (const auto& id : nodes_.Ids())
        SendMessage(channel::Subscribe(channel::kSensorChannel, id));
}

void Websocket::Ended(const connection_hdl& hdl) {
    if (!Current(hdl))
        return;
    link_ = Link::kClosed;
    open_since_ = 0;
    hdl_.reset();
    timers_->Cancel(link_timer_);
    link_timer_ = 0;
}

void Websocket::ArmLinkCheck(timer::Clock::duration delay) {
    link_timer_ = timers_->Add(delay, [this, hdl = hdl_](bool aborted) {
        if (!aborted)
            queue_.Push(mailbox::Make<connection_hdl>(kLinkCheck, hdl));
    });
}

void Websocket::CheckLink(const connection_hdl& hdl) {
    if (!Current(hdl) || link_ != Link::kOpen)
        return;
    const auto silent = time_.Now() - timer::Clock::time_point(timer::Clock::duration(last_heard_));
    if (silent < kLinkTimeout) {
        ArmLinkCheck(kLinkTimeout - silent);
        return;
    }
    link_timer_ = 0;
    LOGW << "Nothing heard for " << std::chrono::duration_cast<std::chrono::seconds>(silent).count()
         << " s : closing the connection";
    Close();
}

void Websocket::Heard() {
    last_heard_.store(time_.Now().time_since_epoch().count());
}

void Websocket::UBUSManagerHandler(const char* json) {
    for (int32_t code : ParseManagerEvent(json))
        queue_.Push(mailbox::Message(code));
}

void Websocket::UBUSWebsocketHandler(const char* json) {
    LOGV << logging::Quote(json ? json : "");
    if (auto request = channel::ParseSubscription(json)) {
        queue_.Push(mailbox::Make<std::string>(request->subscribe ? kSubscribe : kUnsubscribe,
                                               std::move(request->deviceId)));
    }
}

void Websocket::OpenHandler(connection_hdl hdl) {
    Heard();
    websocketpp::lib::error_code ec;
    std::string server;
    if (auto con = client_.get_con_from_hdl(hdl, ec))
        server = con->get_response_header("Server");
    LOGI << "Connection opened : " << server;
    connected_.store(true);
    // The subscriptions go out from the main thread, which owns the node list.
    queue_.Push(mailbox::Make<connection_hdl>(kConnectionOpened, hdl));
}

void Websocket::CloseHandler(connection_hdl hdl) {
    connected_.store(false);
    websocketpp::lib::error_code ec;
    if (auto con = client_.get_con_from_hdl(hdl, ec)) {
        LOGE << "Connection closed : "
             << websocketpp::close::status::get_string(con->get_remote_close_code());
        LOGE << "close reason : " << logging::Quote(con->get_remote_close_reason());
        const std::string reason = con->get_remote_close_reason();
        SetCloseReason(websocketpp::close::status::get_string(con->get_remote_close_code()) +
                       (reason.empty() ? "" : ": " + reason));
        if (con->get_local_close_code() == websocketpp::close::status::message_too_big) {
            LOGE << "A frame above " << kMaxFrameBytes << " bytes closed the connection";
        }
    }
    queue_.Push(mailbox::Make<connection_hdl>(kConnectionClosed, hdl));
}

void Websocket::FailHandler(connection_hdl hdl) {
    websocketpp::lib::error_code ec;
    std::string reason;
    if (auto con = client_.get_con_from_hdl(hdl, ec)) {
        const auto error = con->get_ec();
        reason = error.message();
        // The detail behind it: the certificate check, the HTTP status, the socket's error.
        const long verify = SSL_get_verify_result(con->get_socket().native_handle());
        if (verify != X509_V_OK) {
            reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
        } else if (error == websocketpp::processor::error::invalid_http_status) {
            reason += " (" + std::to_string(con->get_response_code()) + ")";
        } else if (error == websocketpp::transport::error::pass_through ||
                   error.category() ==
                       websocketpp::transport::asio::socket::get_socket_category()) {
            if (const auto transport = con->get_transport_ec())
                reason += " (" + transport.message() + ")";
        }
    }
    LOGE << "Connection failed : " << reason;
    SetCloseReason("failed: " + reason);
    queue_.Push(mailbox::Make<connection_hdl>(kConnectionFailed, hdl));
}

bool Websocket::PingHandler(connection_hdl, std::string payload) {
    Heard();
    LOGV << "PING : " << logging::Quote(payload);
    return true;
}

void Websocket::WSMessageHandler(connection_hdl, Client::message_ptr msg) {
    Heard();
    if (msg->get_opcode() != websocketpp::frame::opcode::text) {
        LOGW << "Frame dropped, not text : opcode " << msg->get_opcode() << " ("
             << msg->get_payload().size() << " bytes)";
        return;
    }
    const std::string& payload = msg->get_payload();
    LOGV << logging::Quote(payload);
    if (auto relay = channel::ParseFrame(payload))
        queue_.Push(mailbox::Make<nlohmann::json>(relay->code, std::move(relay->event)));
}

Websocket::Context Websocket::TLSInitHandler(connection_hdl) {
    namespace ssl = boost::asio::ssl;
    auto ctx = std::make_shared<ssl::context>(ssl::context::sslv23);
    try {
        ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::single_dh_use);
        if (nvram_->tls_verify == 0) {
            ctx->set_verify_mode(ssl::verify_none);
            return ctx;
        }
        // Verification first: a CA or name that cannot be set up then fails the handshake
        // instead of leaving it unchecked.
        ctx->set_verify_mode(ssl::verify_peer);
        // The connection is not registered yet when the library asks: the host comes from
        // the same settings its address was made of.
        const websocketpp::uri uri(channel::CableUri(cloud_url_, nvram_->access_token));
        RequireHost(*ctx, uri.get_host());
        if (nvram_->ca_file.empty()) {
            ctx->set_default_verify_paths();
        } else {
            ctx->load_verify_file(nvram_->ca_file);
        }
    } catch (const std::exception& e) {
        LOGE << "TLS set-up : " << e.what();
    }
    return ctx;
}

void Websocket::SetCloseReason(std::string reason) {
    std::lock_guard<std::mutex> lock(close_mutex_);
    // The cloud's text, bounded: it only ever shows on the status page.
    close_reason_ = std::move(reason).substr(0, 200);
}

void Websocket::RefreshStatus() {
    if (!snapshot_.Due())
        return;
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(close_mutex_);
        reason = close_reason_;
    }
    const bool open = link_ == Link::kOpen;
    snapshot_.Set(
        "status",
        {{"internet", internet_.load()},
         {"connected", open},
         {"connected_since",
          open && open_since_ > 0 ? nlohmann::json(open_since_) : nlohmann::json(nullptr)},
         {"subscriptions", open ? nodes_.Ids().size() + 1 : 0},
         {"sensors", nodes_.Ids().size()},
         {"commands_relayed", relayed_},
         {"last_close_reason", reason.empty() ? nlohmann::json(nullptr) : nlohmann::json(reason)}});
}
