#include "reporter.h"

#include <algorithm>

#include "log.h"
#include "manager_event.h"
#include "sensor_event.h"

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);
constexpr auto kHeartbeatPeriod = std::chrono::seconds(5);
constexpr int kDefaultInterval = 30;
constexpr int kDefaultMaxSamples = 20000;

std::unique_ptr<NVRAM> LoadSettings() {
    auto nvram = std::make_unique<NVRAM>();
    nvram->LoadAuthParams();
    nvram->LoadSysParams();
    return nvram;
}

std::size_t MaxSamples(const NVRAM& nvram) {
    if (nvram.max_samples > 0)
        return static_cast<std::size_t>(nvram.max_samples);
    LOGW << "max_samples " << nvram.max_samples << " unusable, " << kDefaultMaxSamples << " used";
    return kDefaultMaxSamples;
}

std::chrono::seconds Interval(const NVRAM& nvram) {
    if (nvram.report_interval > 0)
        return std::chrono::seconds(nvram.report_interval);
    LOGW << "report_interval " << nvram.report_interval << " unusable, " << kDefaultInterval
         << " used";
    return std::chrono::seconds(kDefaultInterval);
}

}  // namespace

Reporter::Reporter() : Reporter(LoadSettings(), timer::SteadyTime(), PostFn()) {}

Reporter::Reporter(std::unique_ptr<NVRAM> settings, timer::TimeSource& clock, PostFn postFn)
    : nvram(std::move(settings)),
      time(clock),
      post(std::move(postFn)),
      interval(Interval(*nvram)),
      store(MaxSamples(*nvram)),
      loop(mailbox, kLoopPeriod),
      listener(std::make_unique<ubus::Listener>()),
      timers(std::make_unique<timer::TimerQueue>()),
      heartbeat(*timers, heartbeat::kReportd, kHeartbeatPeriod) {
    mailbox.SetLimit(static_cast<std::size_t>(std::max(nvram->queue_limit, 0)),
                     [](const mailbox::Message& m) { return m.code == kSensorSample; });
    post_options.ca_file = nvram->ca_file;
    post_options.verify_tls = nvram->tls_verify != 0;
    post_options.keep_going = &report_running;
    send_post = [this](const std::string& url, const std::vector<std::string>& headers,
                       const std::string& body) { return Post(url, headers, body); };
    report_thread = std::thread(&Reporter::ReportThread, this);
}

Reporter::~Reporter() {
    StopReportThread();
    timers.reset();
}

void Reporter::StopReportThread() {
    report_running.store(false);
    report_wake.Notify();
    if (report_thread.joinable())
        report_thread.join();
}

void Reporter::Subscribe() {
    listener->Register("brelix.sensor", [this](const char* json) { UBUSSensorHandler(json); });
    listener->Register("brelix.manager", [this](const char* json) { UBUSManagerHandler(json); });
    RefreshStatus();
    snapshot.Serve(*listener, "reportd", {"status"});
    listener->ServerStart();
}

void Reporter::Unsubscribe() {
    listener->Unregister("brelix.sensor");
    listener->Unregister("brelix.manager");
    listener->ServerStop();
}

void Reporter::Run() {
    if (!post_options.verify_tls) {
        LOGW << "TLS verification is off (tls_verify 0): the cloud's certificate is not checked";
    }
    try {
        Subscribe();
        heartbeat.Start(std::chrono::seconds(0));
        loop.AfterPass([this] { RefreshStatus(); });
        loop.Run(running, [this](mailbox::Message& msg) { Handle(msg); });
    } catch (const std::exception& e) {
        LOGE << e.what();
        running.store(false);
    }
    timers->CancelAll();
    Unsubscribe();
    StopReportThread();
}

void Reporter::UBUSSensorHandler(const char* json) {
    auto event = ParseSensorEvent(json);
    if (event)
        mailbox.Push(mailbox::Make<SensorEvent>(kSensorSample, std::move(*event)));
}

void Reporter::UBUSManagerHandler(const char* json) {
    for (int32_t code : ParseManagerEvent(json))
        mailbox.Push(mailbox::Message(code));
}

bool Reporter::MessageHandler() {
    mailbox::Message msg;
    if (!mailbox.TryPop(msg))
        return false;
    Handle(msg);
    return true;
}

void Reporter::Handle(mailbox::Message& msg) {
    switch (msg.code) {
        case mailbox::kWlanDisconnected:
        case mailbox::kInternetDisconnected:
            internet_up.store(false);
            break;
        case mailbox::kInternetConnected:
            internet_up.store(true);
            break;
        case kSensorSample: {
            const auto* event = msg.As<SensorEvent>();
            nlohmann::json sample = event->data;
            sample["k"] = event->sensor_type;
            store.Add(event->device_id, event->sensor_type, sample);
            devices_heard = AddActiveNode(event->device_id);
            break;
        }
        default:
            break;
    }
}

std::pair<std::string, bool> Reporter::CollectReport() {
    ReportBatch batch = store.Collect(kMaxBodySamples, kMaxBodyBytes);
    if (batch.Empty())
        return {std::string(), false};
    return {batch.Body(), true};
}

std::string Reporter::CollectHeartBeat() {
    return ActiveNodes::Body(active.Take());
}

std::size_t Reporter::AddActiveNode(const std::string& device_id) {
    return active.Add(device_id);
}

http::Response Reporter::Post(const std::string& url, const std::vector<std::string>& headers,
                              const std::string& body) {
    if (post)
        return post(url, headers, body);
    return http::HttpPost(url, headers, body, post_options);
}

void Reporter::ReportThread() {
    LOGV << "";
    auto due = time.Now();
    while (report_running.load()) {
        ReportPass();
        passes.fetch_add(1);
        // A fixed schedule; periods missed during a long pass are skipped, not made up.
        due += interval;
        const auto now = time.Now();
        while (due + interval <= now)
            due += interval;
        while (report_running.load() && time.Now() < due)
            time.WaitUntil(report_wake, due);
    }
}

void Reporter::ReportPass() {
    if (const std::size_t queues = store.TakeDroppedQueues()) {
        LOGW << "Queue limit reached : " << queues << " silent device/type queues dropped";
    }
    if (const std::size_t dropped = store.TakeDropped()) {
        report_status.dropped += dropped;
        LOGW << "Sample limit reached : " << dropped << " oldest samples dropped";
    }
    if (const std::size_t ids = active.TakeDropped()) {
        LOGW << "Device limit reached : " << ids << " oldest heard devices dropped";
    }
    const bool up = internet_up.load();
    LOGV << "pass : " << store.Size() << " samples kept" << (up ? "" : ", internet down");
    if (!up)
        return;
    SendSamples();
    if (report_running.load())
        SendHeartBeat();
}

bool Reporter::SendSamples() {
    while (report_running.load() && internet_up.load()) {
        ReportBatch batch = store.Collect(kMaxBodySamples, kMaxBodyBytes);
        if (batch.Empty())
            return true;
        const Delivery delivery =
            ReportSensorData(nvram->url, nvram->access_token, batch.Body(), send_post);
        report_status.Posted(delivery, batch.Size());
        switch (delivery) {
            case Delivery::kDelivered:
                break;
            case Delivery::kRefused:
                LOGW << "Report refused : " << batch.Size() << " samples dropped";
                break;
            case Delivery::kRetry:
                store.Restore(std::move(batch));
                return false;
        }
    }
    return true;
}

void Reporter::SendHeartBeat() {
    std::vector<std::string> ids = active.Take();
    if (ReportHeartBeat(nvram->url, nvram->access_token, ActiveNodes::Body(ids), send_post) ==
        Delivery::kRetry) {
        active.Restore(ids);
    }
}

void Reporter::RefreshStatus() {
    if (!snapshot.Due())
        return;
    if (samples_max == 0)
        samples_max = MaxSamples(*nvram);  // once: it logs an unusable setting
    snapshot.Set("status",
                 report_status.Json(internet_up.load(), store.Size(), samples_max, devices_heard));
}
