#include "mqtt.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "log.h"
#include "manager_event.h"
#include "mqtt_message.h"
#include "sensor_event.h"

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);
constexpr auto kHeartbeatPeriod = std::chrono::seconds(5);
constexpr int kKeepAlive = 60;
constexpr int64_t kMaxRestartDelayMs = 60 * 1000;

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
    nvram->LoadSysParams();  // queue_limit
    return nvram;
}

}  // namespace

MQTT::MQTT() : MQTT(LoadSettings()) {}

MQTT::MQTT(std::unique_ptr<NVRAM> nvram, std::chrono::milliseconds restart_delay)
    : mosqpp::mosquittopp(nullptr, true),
      loop_(queue_, kLoopPeriod),
      nvram_(std::move(nvram)),
      listener_(std::make_unique<ubus::Listener>()),
      timers_(std::make_unique<timer::TimerQueue>()),
      heartbeat_(*timers_, heartbeat::kMqttpub, kHeartbeatPeriod),
      first_restart_delay_(restart_delay),
      restart_delay_ms_(restart_delay.count()) {
    queue_.SetLimit(static_cast<std::size_t>(std::max(nvram_->queue_limit, 0)),
                    [](const mailbox::Message& m) { return m.code == kSensorReading; });
}

MQTT::~MQTT() {
    timers_.reset();
}

bool MQTT::StartNetwork() {
    mosqpp::lib_init();
    const int rc = loop_start();
    if (rc != MOSQ_ERR_SUCCESS) {
        LOGE << "MQTT Error : " << mosqpp::strerror(rc);
        return false;
    }
    return true;
}

void MQTT::StopNetwork() {
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
    LOGI << "Restarting the MQTT network thread";
    const int rc = reconnect_async();
    if (rc != MOSQ_ERR_SUCCESS)  // the new thread retries by itself
        LOGW << "MQTT Connect Error : " << mosqpp::strerror(rc);
    const int started = loop_start();
    if (started != MOSQ_ERR_SUCCESS)
        ScheduleRestart(started);
}

// Network thread (or main thread when a restart fails): the thread is started again from the
// main loop, after a delay that grows while the broker keeps answering badly.
void MQTT::ScheduleRestart(int rc) {
    const auto delay = std::chrono::milliseconds(restart_delay_ms_.load());
    restart_delay_ms_.store(std::min<int64_t>(delay.count() * 2, kMaxRestartDelayMs));
    LOGE << "MQTT Error : " << mosqpp::strerror(rc) << " - network restarts in " << delay.count()
         << " ms";
    timers_->Add(delay, [this](bool aborted) {
        if (!aborted)
            queue_.Push(mailbox::Message(kNetworkEnded));
    });
}

void MQTT::Subscribe() {
    listener_->Register("brelix.sensor",
                        [this](const char* json) { ProcessUBUSSensorHandler(json); });
    listener_->Register("brelix.manager",
                        [this](const char* json) { ProcessUBUSManagerHandler(json); });
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
    LOGV << host << ":" << port;
    reconnect_tried_.store(false);
    const int rc = connect_async(host.c_str(), port, kKeepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        LOGE << "MQTT Connect Error : " << mosqpp::strerror(rc);
        // Once host and port are taken, the network thread keeps trying by itself.
        library_retries_ = rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_EAI;
        return false;
    }
    library_retries_ = true;
    return true;
}

bool MQTT::Publish(const std::string& topic, const std::string& payload, int qos) {
    LOGV << logging::Cut(payload);
    const int rc = publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                           qos, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        // One line per outage, not one per reading.
        if (lost_++ == 0) {
            LOGW << "Publish Error : " << mosqpp::strerror(rc);
        }
        return false;
    }
    if (lost_ > 0) {
        LOGW << lost_ << " readings lost while the broker was unreachable";
        lost_ = 0;
    }
    return true;
}

void MQTT::on_connect(int rc) {
    {
        NoCancel guard;
        if (rc == 0) {
            LOGV << "Connection Success";
            connections_.fetch_add(1);
            connected_.store(true);
            restart_delay_ms_.store(first_restart_delay_.count());
            return;
        }
        LOGI << "Connection Failed : " << mosqpp::connack_string(rc);
        connected_.store(false);
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
    if (ends)
        ScheduleRestart(rc);
}

void MQTT::on_publish(int mid) {
    NoCancel guard;
    LOGV << "mid : " << mid;
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
        case kSensorReading:
            if (auto m = BuildMqttMessage(*msg.As<SensorEvent>()))
                Publish(m->topic, m->payload, 0);
            break;
        default:
            break;
    }
}
