#include "reporter.h"

#include <algorithm>
#include <map>

#include "log.h"
#include "manager_event.h"
#include "paths.h"
#include "sensor_event.h"

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);
constexpr auto kHeartbeatPeriod = std::chrono::seconds(5);
constexpr int kDefaultInterval = 30;
constexpr int kDefaultMaxSamples = 20000;
constexpr auto kDropLogPeriod = std::chrono::minutes(1);

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

int Setting(const char* name, int value, int fallback, int least) {
    if (value >= least)
        return value;
    LOGW << name << " " << value << " unusable, " << fallback << " used";
    return fallback;
}

std::unique_ptr<Journal> MakeJournal(const NVRAM& nvram) {
    if (nvram.journal == 0)
        return nullptr;
    Journal::Options options;
    options.ram_dir = paths::TmpDir() + "/reportd";
    options.store_dir = nvram.store_dir;
    options.store_max_bytes =
        static_cast<uint64_t>(Setting("store_max_kb", nvram.store_max_kb, 8192, 1)) * 1024;
    options.store_max_age = Setting("store_max_age", nvram.store_max_age, 604800, 1);
    return std::make_unique<Journal>(options, timer::SystemUnixTime);
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
    journal = MakeJournal(*nvram);
    if (journal) {
        spill_after = std::chrono::seconds(Setting("spill_after", nvram->spill_after, 60, 0));
        store_sync = std::chrono::seconds(Setting("store_sync", nvram->store_sync, 60, 0));
        store.SetNextSeq(
            journal->Open([this](const std::string& id, const std::string& type,
                                 const Sample& sample) { store.AddReplayed(id, type, sample); }));
        if (const auto body = journal->ReplayedInFlight())
            in_flight = Body{body->first, body->last, false};
    }
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
    // A clean stop: what only memory and the RAM tier hold goes to flash.
    if (journal && journal->HasFlashTier()) {
        SpillMemory();
        journal->Maintain(true);
    }
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
            // What was kept while down goes out now, not at the next period.
            if (!internet_up.exchange(true)) {
                report_now.store(true);
                report_wake.Signal();
            }
            break;
        case kSensorSample: {
            const auto* event = msg.As<SensorEvent>();
            nlohmann::json sample = event->data;
            sample["k"] = event->sensor_type;
            store.Add(event->device_id, event->sensor_type, sample, [&](const Sample& kept) {
                if (journal)
                    journal->Append(event->device_id, event->sensor_type, kept);
            });
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
        report_now.store(false);
        ReportPass();
        passes.fetch_add(1);
        // A fixed schedule; periods missed during a long pass are skipped, not made up, and a
        // pass made early leaves the next one where it was.
        const auto now = time.Now();
        while (due <= now)
            due += interval;
        while (report_running.load() && !report_now.load() && time.Now() < due)
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
    LOGV << "pass : " << KeptSamples() << " samples kept" << (up ? "" : ", internet down");
    bool delivering = false;
    if (up) {
        delivering = SendSamples();
        if (report_running.load())
            SendHeartBeat();
    }
    if (journal)
        KeepJournal(delivering);
}

std::size_t Reporter::KeptSamples() const {
    return store.Size() + (journal ? static_cast<std::size_t>(journal->FlashSamples()) : 0);
}

void Reporter::KeepJournal(bool delivering) {
    const auto now = time.Now();
    if (delivering || KeptSamples() == 0)
        failing_since.reset();
    else if (!failing_since)
        failing_since = now;
    const bool syncDue = !last_sync || now - *last_sync >= store_sync;
    if (syncDue && failing_since && now - *failing_since >= spill_after && store.Size() > 0 &&
        journal->HasFlashTier()) {
        SpillMemory();
        last_sync = now;
    }
    if (journal->Maintain(syncDue))
        last_sync = now;
    journal->MemoryGone(store.FirstKeptSeq() - 1);
    journal_dropped += journal->TakeDropped();
    if (journal_dropped > 0 && (!last_drop_log || now - *last_drop_log >= kDropLogPeriod)) {
        LOGW << "Store limit reached : " << journal_dropped << " oldest samples dropped from "
             << nvram->store_dir;
        journal_dropped = 0;
        last_drop_log = now;
    }
}

bool Reporter::SpillMemory() {
    ReportBatch taken = store.Collect(SIZE_MAX, SIZE_MAX);
    if (taken.Empty())
        return true;
    // The body in flight gets a block of its own: it is sent again from flash as it was.
    const bool split = in_flight && !in_flight->flash;
    std::vector<std::vector<journal::BlockSample>> blocks(1);
    for (const auto& item : taken.Items()) {
        if (split && blocks.size() == 1 && !blocks[0].empty() && item.sample.seq > in_flight->last)
            blocks.emplace_back();
        blocks.back().push_back(
            {item.sample.seq, item.device_id, item.queue->kind, item.sample.text});
    }
    const uint64_t last = taken.Items().back().sample.seq;
    if (!journal->Spill(blocks)) {
        store.Restore(std::move(taken));
        return false;
    }
    LOGI << "journal: " << taken.Size() << " samples moved to " << nvram->store_dir;
    journal->MemoryGone(last);
    if (split)
        in_flight->flash = true;
    return true;
}

bool Reporter::SendSamples() {
    while (report_running.load() && internet_up.load()) {
        ReportBatch batch;
        bool fromFlash = false;
        if (!NextBatch(batch, fromFlash))
            return true;
        const Delivery delivery = ReportSensorData(nvram->url, nvram->access_token, batch.Body(),
                                                   send_post, DeliveryKey(batch));
        report_status.Posted(delivery, batch.Size());
        switch (delivery) {
            case Delivery::kDelivered:
                Delivered(batch, fromFlash);
                break;
            case Delivery::kRefused:
                LOGW << "Report refused : " << batch.Size() << " samples dropped";
                Delivered(batch, fromFlash);
                break;
            case Delivery::kRetry:
                if (!fromFlash)
                    store.Restore(std::move(batch));
                return false;
        }
    }
    return true;
}

bool Reporter::NextBatch(ReportBatch& batch, bool& fromFlash) {
    fromFlash = false;
    if (journal && journal->FlashSamples() > 0) {
        auto samples = journal->FlashBatch(
            kMaxBodySamples, kMaxBodyBytes, [](const journal::BlockSample& s, bool newDevice) {
                return ReportBatch::Cost(s.device_id, Sample{s.seq, s.text}, newDevice);
            });
        if (!samples.empty()) {
            // A device's types in the order the body first has them.
            std::map<std::string, std::vector<std::string>> types;
            for (auto& s : samples) {
                auto& list = types[s.device_id];
                const auto at = std::find(list.begin(), list.end(), s.sensor_type);
                const auto index = static_cast<std::size_t>(at - list.begin());
                if (at == list.end())
                    list.push_back(s.sensor_type);
                batch.Add({nullptr, s.device_id, index, Sample{s.seq, std::move(s.text)}});
            }
            fromFlash = true;
            in_flight = Body{samples.front().seq, samples.back().seq, true};
            return true;
        }
    }
    const bool held = in_flight && !in_flight->flash;
    batch = store.Collect(kMaxBodySamples, kMaxBodyBytes, held ? in_flight->last : UINT64_MAX);
    if (batch.Empty() && held) {
        in_flight.reset();
        batch = store.Collect(kMaxBodySamples, kMaxBodyBytes);
    }
    if (batch.Empty())
        return false;
    const auto& items = batch.Items();
    const auto [lo, hi] = std::minmax_element(
        items.begin(), items.end(),
        [](const auto& a, const auto& b) { return a.sample.seq < b.sample.seq; });
    const Body body{lo->sample.seq, hi->sample.seq, false};
    if (journal && !(held && in_flight->first == body.first && in_flight->last == body.last)) {
        journal->MemoryInFlight({body.first, body.last, static_cast<uint32_t>(batch.Size())});
    }
    in_flight = body;
    return true;
}

std::string Reporter::DeliveryKey(const ReportBatch& batch) const {
    uint64_t first = UINT64_MAX, last = 0;
    for (const auto& item : batch.Items()) {
        first = std::min(first, item.sample.seq);
        last = std::max(last, item.sample.seq);
    }
    return (nvram->device_id.empty() ? std::string("gateway") : nvram->device_id) + "-" +
           std::to_string(first) + "-" + std::to_string(last) + "-" + std::to_string(batch.Size());
}

void Reporter::Delivered(const ReportBatch& batch, bool fromFlash) {
    in_flight.reset();
    if (!journal)
        return;
    uint64_t last = 0;
    for (const auto& item : batch.Items())
        last = std::max(last, item.sample.seq);
    if (fromFlash)
        journal->FlashGone(last);
    else
        journal->MemoryGone(last);
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
    // A flash block is dated by its spill, which its samples precede: the age is then a floor.
    int64_t oldest = store.OldestTs();
    if (const int64_t spilled = journal ? journal->FlashOldestTime() : 0)
        oldest = oldest > 0 ? std::min(oldest, spilled) : spilled;
    snapshot.Set("status", report_status.Json(internet_up.load(), store.Size(),
                                              journal ? journal->FlashSamples() : 0, oldest,
                                              samples_max, devices_heard));
}
