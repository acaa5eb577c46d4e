#include "mqtt.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "log.h"
#include "manager_event.h"
#include "mqtt_message.h"
#include "sensor_event.h"

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);
constexpr auto kHeartbeatPeriod = std::chrono::seconds(5);
constexpr int64_t kMaxRestartDelayMs = 60 * 1000;
// The library's own reconnects: 1, 4, 9, ... s, at most a minute, while no CONNACK accepts.
constexpr unsigned kReconnectDelay = 1;
constexpr unsigned kMaxReconnectDelay = 60;
// Unacknowledged QoS 1 messages in flight: enough to keep a fast broker link busy.
constexpr unsigned kMaxInflight = 100;
// Without a ca_file the broker's certificate must chain to one of the system's CAs.
constexpr const char* kSystemCas = "/etc/ssl/certs";
// libmosquitto's first line about a failed TLS handshake.
constexpr char kOpenSslError[] = "OpenSSL Error[0]";

// Errors after which libmosquitto's network thread returns instead of reconnecting: a broker
// (or something else on its port) that answers with bytes it cannot parse would otherwise
// leave mqttpub silent until it is restarted.
bool EndsNetworkThread(int rc) {
    switch (rc) {
        case MOSQ_ERR_NOMEM:
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_NOT_FOUND:
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_PAYLOAD_SIZE:
        case MOSQ_ERR_NOT_SUPPORTED:
        case MOSQ_ERR_AUTH:
        case MOSQ_ERR_ACL_DENIED:
        case MOSQ_ERR_UNKNOWN:
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_PROXY:
            return true;
        case MOSQ_ERR_SUCCESS:
            return false;
        default:
            return errno == EPROTO;
    }
}

// The network thread is cancelled at shutdown; never inside our callbacks, where it could hold
// the logger's lock.
class NoCancel {
  public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() {
        int ignored;
        pthread_setcancelstate(old_, &ignored);
    }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;

  private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

std::unique_ptr<NVRAM> LoadSettings() {
    auto nvram = std::make_unique<NVRAM>();
    nvram->LoadMQTTParams();
    nvram->LoadSysParams();  // queue_limit, device_id
    return nvram;
}

}  // namespace

MQTT::MQTT() : MQTT(LoadSettings()) {}

MQTT::MQTT(std::unique_ptr<NVRAM> nvram, std::chrono::milliseconds restart_delay,
           timer::TimeSource& time)
    : mosqpp::mosquittopp(nullptr, true),
      loop_(queue_, kLoopPeriod),
      nvram_(std::move(nvram)),
      listener_(std::make_unique<ubus::Listener>()),
      timers_(std::make_unique<timer::TimerQueue>(time)),
      heartbeat_(*timers_, heartbeat::kMqttpub, kHeartbeatPeriod),
      first_restart_delay_(restart_delay),
      restart_delay_ms_(restart_delay.count()) {
    queue_.SetLimit(static_cast<std::size_t>(std::max(nvram_->queue_limit, 0)),
                    [](const mailbox::Message& m) { return m.code == kSensorReading; });
}

MQTT::~MQTT() {
    timers_.reset();
}

// Before the first connect: what the library sends in CONNECT and how it reaches the broker.
bool MQTT::Configure() {
    reconnect_delay_set(kReconnectDelay, kMaxReconnectDelay, true);
    max_inflight_messages_set(kMaxInflight);
    const std::string& gateway = nvram_->device_id;
    // Home Assistant's entities follow the gateway's availability.
    if (nvram_->mqtt_availability == 1 || nvram_->mqtt_ha_discovery == 1) {
        if (!IsPlainId(gateway)) {
            LOGE << "No availability or discovery : the gateway id \"" << gateway
                 << "\" is not a plain id";
        } else {
            status_topic_ = AvailabilityTopic(gateway);
            will_set(status_topic_.c_str(), 7, "offline", 1, true);
            if (nvram_->mqtt_ha_discovery == 1)
                discovery_.emplace(nvram_->mqtt_ha_prefix, gateway);
        }
    }
    if (!nvram_->mqtt_username.empty()) {
        username_pw_set(nvram_->mqtt_username.c_str(),
                        nvram_->mqtt_password.empty() ? nullptr : nvram_->mqtt_password.c_str());
    }
    if (nvram_->mqtt_tls == 1) {
        const auto& ca = nvram_->mqtt_ca_file;
        const auto& cert = nvram_->mqtt_cert_file;
        const auto& key = nvram_->mqtt_key_file;
        // The library checks the broker's certificate and that it is issued for the host.
        const int rc =
            tls_set(ca.empty() ? nullptr : ca.c_str(), ca.empty() ? kSystemCas : nullptr,
                    cert.empty() ? nullptr : cert.c_str(), key.empty() ? nullptr : key.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            // Never in the clear instead.
            LOGE << "MQTT TLS Error : cannot use ca_file \"" << ca << "\", cert_file \"" << cert
                 << "\", key_file \"" << key << "\" : " << mosqpp::strerror(rc);
            return false;
        }
    }
    return true;
}

bool MQTT::StartNetwork() {
    mosqpp::lib_init();
    configured_ = Configure();
    const int rc = loop_start();
    if (rc != MOSQ_ERR_SUCCESS) {
        LOGE << "MQTT Error : " << mosqpp::strerror(rc);
        return false;
    }
    return true;
}

// "offline" and then DISCONNECT, which the broker takes in that order; the will says the same
// should they not leave in time.
void MQTT::SayOffline() {
    if (status_topic_.empty() || !connected_.load())
        return;
    Send(status_topic_, "offline", true);
    disconnect();
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (connected_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void MQTT::StopNetwork() {
    SayOffline();
    if (held_.load() > 0)
        LOGW << held_.load() << " messages not acknowledged by the broker at stop";
    // Also ends the library's reconnect attempts when there is no connection.
    disconnect();
    // Forced: a reconnect that is under way (a blocking connect, a name lookup) sets the
    // client's state again when it ends, so the thread would not see the disconnect and
    // would retry until the broker answers.
    loop_stop(true);
    mosqpp::lib_cleanup();
}

void MQTT::RestartNetwork() {
    // The ended thread is joined before a new one takes the client.
    loop_stop(true);
    restart_pending_.store(false);
    LOGI << "Restarting the MQTT network thread";
    const int rc = reconnect_async();
    if (rc != MOSQ_ERR_SUCCESS) {  // the new thread retries by itself
        LOGW << "MQTT Connect Error : " << mosqpp::strerror(rc);
        if (rc == MOSQ_ERR_TLS)
            LOGE << TlsRefusal();
    }
    const int started = loop_start();
    if (started != MOSQ_ERR_SUCCESS)
        ScheduleRestart(started);
}

// Network thread (or main thread when a restart fails): the thread is started again from the
// main loop, after a delay that grows while the broker keeps answering badly.
void MQTT::ScheduleRestart(int rc) {
    if (restart_pending_.exchange(true))
        return;  // the same end seen twice (a disconnect and the library's TLS line)
    const auto delay = std::chrono::milliseconds(restart_delay_ms_.load());
    restart_delay_ms_.store(std::min<int64_t>(delay.count() * 2, kMaxRestartDelayMs));
    timers_->Add(delay, [this](bool aborted) {
        if (!aborted)
            queue_.Push(mailbox::Message(kNetworkEnded));
    });
    // Logged once the timer is set: whoever sees the line can count the delay from it.
    LOGE << "MQTT Error : " << mosqpp::strerror(rc) << " - network restarts in " << delay.count()
         << " ms";
}

void MQTT::Subscribe() {
    listener_->Register("brelix.sensor",
                        [this](const char* json) { ProcessUBUSSensorHandler(json); });
    listener_->Register("brelix.manager",
                        [this](const char* json) { ProcessUBUSManagerHandler(json); });
    RefreshStatus();
    snapshot_.Serve(*listener_, "mqttpub", {"status"});
    listener_->ServerStart();
}

void MQTT::Unsubscribe() {
    listener_->Unregister("brelix.sensor");
    listener_->Unregister("brelix.manager");
    listener_->ServerStop();
}

void MQTT::Run() {
    if (!StartNetwork())
        return;
    try {
        Subscribe();
        heartbeat_.Start(std::chrono::seconds(0));
        loop_.AfterPass([this] { RefreshStatus(); });
        loop_.Run(running_, [this](mailbox::Message& msg) { Handle(msg); });
    } catch (const std::exception& e) {
        LOGE << e.what();
        running_.store(false);
    }
    timers_->CancelAll();
    Unsubscribe();
    StopNetwork();
}

bool MQTT::Connect(const std::string& host, const int& port) {
    if (connected_.load()) {
        LOGV << "Already connected..";
        return true;
    }
    if (library_retries_) {
        // A second connect_async would race the network thread's own reconnect.
        LOGV << "Connecting..";
        return true;
    }
    if (!configured_) {
        LOGE << "MQTT Connect Error : TLS is not set up (see the lines above)";
        return false;
    }
    LOGV << host << ":" << port;
    reconnect_tried_.store(false);
    const int rc = connect_async(host.c_str(), port, nvram_->mqtt_keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        LOGE << "MQTT Connect Error : " << mosqpp::strerror(rc);
        if (rc == MOSQ_ERR_TLS)
            LOGE << TlsRefusal();
        // Once host and port are taken, the network thread keeps trying by itself (a refused
        // certificate too, silently, with its back-off).
        library_retries_ = rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_TLS;
        return false;
    }
    library_retries_ = true;
    return true;
}

void MQTT::CountLost(const char* why) {
    ++lost_total_;
    // One line per outage, not one per reading.
    if (lost_++ == 0)
        LOGW << "Publish Error : " << why;
}

bool MQTT::Publish(const std::string& topic, const std::string& payload, int qos) {
    LOGV << logging::Cut(payload);
    const bool counted = qos > 0 && nvram_->mqtt_qos > 0;
    if (counted && held_.load() >= nvram_->mqtt_max_queued) {
        CountLost("max_queued readings wait for the broker already");
        return false;
    }
    const int rc = publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                           qos, false);
    // At QoS 1 the library keeps a message it could not send and sends it on reconnecting.
    const bool held = qos > 0 && (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN);
    if (counted && held)
        held_.fetch_add(1);
    if (rc != MOSQ_ERR_SUCCESS && !held) {
        CountLost(mosqpp::strerror(rc));
        return false;
    }
    ++published_;
    if (lost_ > 0) {
        LOGW << lost_ << " readings lost while the broker was unreachable";
        lost_ = 0;
    }
    return true;
}

void MQTT::Send(const std::string& topic, const std::string& payload, bool retain) {
    const int rc = publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                           1, retain);
    if ((rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) && nvram_->mqtt_qos > 0)
        held_.fetch_add(1);
    else if (rc != MOSQ_ERR_SUCCESS)
        LOGW << "Publish Error : " << mosqpp::strerror(rc) << " (" << topic << ")";
}

void MQTT::on_connect(int rc) {
    {
        NoCancel guard;
        answered_.store(true);
        if (rc == 0) {
            LOGV << "Connection Success";
            connections_.fetch_add(1);
            connected_since_.store(status::UnixNow());
            connected_.store(true);
            restart_delay_ms_.store(first_restart_delay_.count());
            if (!status_topic_.empty())
                queue_.Push(mailbox::Message(kConnected));
            return;
        }
        LOGI << "Connection Failed : " << mosqpp::connack_string(rc);
        connected_.store(false);
        connected_since_.store(0);
        // Once; after that the library's own retries take over.
        if (reconnect_tried_.exchange(true))
            return;
    }
    // Outside the guard: this connect blocks, and a stop may cancel it.
    reconnect();
}

void MQTT::on_disconnect(int rc) {
    const bool ends = EndsNetworkThread(rc);  // before anything else can change errno
    NoCancel guard;
    LOGI << "Disconnected from Host";
    connected_.store(false);
    connected_since_.store(0);
    if (!answered_.exchange(false)) {
        // A refused certificate is logged with the library's own line (on_log).
        if (rc == MOSQ_ERR_KEEPALIVE) {
            LOGE << "Broker sent no CONNACK within " << nvram_->mqtt_keepalive << " s";
        } else if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_TLS) {
            LOGE << "Broker closed the connection before its CONNACK : " << mosqpp::strerror(rc);
        }
    }
    if (ends)
        ScheduleRestart(rc);
}

void MQTT::on_publish(int mid) {
    NoCancel guard;
    LOGV << "mid : " << mid;
    if (nvram_->mqtt_qos > 0)
        held_.fetch_sub(1);
}

void MQTT::on_message(const struct mosquitto_message* message) {
    NoCancel guard;
    if (!discovery_ || !message->topic || message->payloadlen < 0)
        return;
    if (static_cast<std::size_t>(message->payloadlen) > kMaxBrokerMessage) {
        LOGW << "Message on " << logging::Quote(message->topic)
             << " ignored : " << message->payloadlen << " bytes";
        return;
    }
    const auto* bytes = static_cast<const char*>(message->payload);
    queue_.Push(mailbox::Make<MqttMessage>(
        kBrokerMessage,
        MqttMessage{message->topic,
                    std::string(bytes, bytes + static_cast<std::size_t>(message->payloadlen))}));
}

void MQTT::on_log(int level, const char* text) {
    if (level != MOSQ_LOG_ERR || !text)
        return;
    NoCancel guard;
    {
        std::lock_guard<std::mutex> lock(library_errors_mutex_);
        if (library_errors_.size() < kMaxLibraryErrors)
            library_errors_.append(text).append("\n");
    }
    // A handshake that fails on the network thread ends it without a disconnect callback (a
    // failure inside Connect is reported there).
    if (std::this_thread::get_id() != main_thread_ &&
        std::strncmp(text, kOpenSslError, sizeof kOpenSslError - 1) == 0) {
        LOGE << TlsRefusal();
        ScheduleRestart(MOSQ_ERR_TLS);
    }
}

// libmosquitto's own lines name the failed check only for a host name; a chain that does not
// verify shows as OpenSSL's "certificate verify failed".
std::string MQTT::TlsRefusal() {
    std::string errors;
    {
        std::lock_guard<std::mutex> lock(library_errors_mutex_);
        errors.swap(library_errors_);
    }
    if (errors.find("host name verification failed") != std::string::npos)
        return "Broker certificate refused : it is not issued for " + nvram_->mqtt_host;
    if (errors.find("certificate verify failed") != std::string::npos) {
        return "Broker certificate refused : it is not signed by a CA in " +
               (nvram_->mqtt_ca_file.empty() ? std::string(kSystemCas) : nvram_->mqtt_ca_file) +
               " (or it has expired)";
    }
    const auto end = errors.find('\n');
    return "MQTT TLS Error : " +
           (end == std::string::npos ? std::string("handshake failed") : errors.substr(0, end));
}

void MQTT::OnConnected() {
    Send(status_topic_, "online", true);
    if (!discovery_)
        return;
    std::optional<std::vector<std::string>> whitelist;
    if (nvram_->LoadWhitelist()) {
        whitelist = nvram_->whitelist;
    } else {
        LOGW << "Whitelist unknown : no discovery config is cleared";
    }
    discovery_->SetWhitelist(std::move(whitelist));
    // The retained configs come back through the second one: those of removed nodes are
    // cleared then.
    subscribe(nullptr, discovery_->StatusTopic().c_str(), 1);
    subscribe(nullptr, discovery_->ConfigFilter().c_str(), 1);
    PublishConfigs();
}

void MQTT::PublishConfigs() {
    for (const auto& config : discovery_->All())
        Send(config.topic, config.payload, true);
}

void MQTT::OnBrokerMessage(const MqttMessage& m) {
    if (m.topic == discovery_->StatusTopic()) {
        if (m.payload == "online") {
            LOGI << "Home Assistant is online : discovery configs sent again";
            PublishConfigs();
        }
        return;
    }
    if (auto clear = discovery_->OnRetained(m.topic, m.payload))
        Send(clear->topic, clear->payload, true);
}

void MQTT::ProcessUBUSSensorHandler(const char* json) {
    auto event = ParseSensorEvent(json);
    if (event)
        queue_.Push(mailbox::Make<SensorEvent>(kSensorReading, std::move(*event)));
}

void MQTT::ProcessUBUSManagerHandler(const char* json) {
    for (int32_t code : ParseManagerEvent(json))
        queue_.Push(mailbox::Message(code));
}

bool MQTT::MessageHandler() {
    mailbox::Message msg;
    if (!queue_.TryPop(msg))
        return false;
    Handle(msg);
    return true;
}

void MQTT::Handle(mailbox::Message& msg) {
    switch (msg.code) {
        case mailbox::kWlanDisconnected:
        case mailbox::kInternetDisconnected:
            LOGV << msg.code;
            break;
        case mailbox::kInternetConnected:
            LOGV << msg.code;
            Connect(nvram_->mqtt_host, nvram_->mqtt_port);
            break;
        case kNetworkEnded:
            RestartNetwork();
            break;
        case kSensorReading: {
            const auto& event = *msg.As<SensorEvent>();
            if (auto m = BuildMqttMessage(event)) {
                if (discovery_) {
                    if (auto config = discovery_->OnReading(event.device_id, event.sensor_type))
                        Send(config->topic, config->payload, true);
                }
                Publish(m->topic, m->payload, nvram_->mqtt_qos);
            }
            break;
        }
        case kConnected:
            if (connected_.load())
                OnConnected();
            break;
        case kBrokerMessage:
            if (discovery_)
                OnBrokerMessage(*msg.As<MqttMessage>());
            break;
        default:
            break;
    }
}

void MQTT::RefreshStatus() {
    if (!snapshot_.Due())
        return;
    const bool connected = connected_.load();
    const int64_t since = connected_since_.load();
    snapshot_.Set("status",
                  {{"broker", nvram_->mqtt_host + ":" + std::to_string(nvram_->mqtt_port)},
                   {"connected", connected},
                   {"connected_since",
                    connected && since > 0 ? nlohmann::json(since) : nlohmann::json(nullptr)},
                   {"connections", connections_.load()},
                   {"published", published_},
                   {"failed", lost_total_},
                   {"dropped", loop_.Dropped()}});
}
