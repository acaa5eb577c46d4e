#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "active_nodes.h"
#include "cloud_report.h"
#include "heartbeat.h"
#include "journal.h"
#include "mailbox.h"
#include "main_loop.h"
#include "nvram.h"
#include "report_status.h"
#include "sample_store.h"
#include "semaphore.h"
#include "thread_safe_queue.h"
#include "time_source.h"
#include "timer_queue.h"
#include "ubus.h"

// reportd's main object: keeps the samples of "brelix.sensor" and, while the internet is up,
// posts them with the list of heard devices to the cloud from its report thread.
class Reporter {
  public:
    static constexpr int32_t kSensorSample = 3007;
    // A report body holds at most this many samples and about this many bytes; a backlog is
    // sent in several bodies.
    static constexpr std::size_t kMaxBodySamples = 500;
    static constexpr std::size_t kMaxBodyBytes = 64 * 1024;

    // Loads the "auth" and "sys" settings and posts with HttpPost.
    Reporter();
    // Given settings, clock and POST (tests); an empty `post` means HttpPost.
    Reporter(std::unique_ptr<NVRAM> nvram, timer::TimeSource& time, PostFn post);
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;
    virtual ~Reporter();

    void Run();
    // Safe from a signal handler.
    void Stop() { running.store(false); }

    void UBUSSensorHandler(const char* json);
    void UBUSManagerHandler(const char* json);
    // Handles one mailbox message; false when there was none.
    bool MessageHandler();
    void Handle(mailbox::Message& msg);

    // The next report body (at most kMaxBodySamples / kMaxBodyBytes) and whether it holds any
    // sample. The samples leave the store; a failed POST puts them back (Restore).
    std::pair<std::string, bool> CollectReport();
    // The heartbeat body; empties the list of heard devices.
    std::string CollectHeartBeat();
    std::size_t AddActiveNode(const std::string& device_id);

    bool InternetUp() const { return internet_up.load(); }
    // In memory and in the flash tier of the journal.
    std::size_t KeptSamples() const;
    // The journal, when "journal" is on (benchmarks read its counters).
    const Journal* SampleJournal() const { return journal.get(); }
    // Report passes made so far (with or without the internet).
    uint64_t Passes() const { return passes.load(); }

  private:
    void ReportThread();
    void ReportPass();
    http::Response Post(const std::string& url, const std::vector<std::string>& headers,
                        const std::string& body);
    // Posts the store's samples body by body; false when a body must be sent again later.
    bool SendSamples();
    // The next body: the flash tier's oldest first, then memory's; a body in flight is taken
    // again as it was. False when there is none.
    bool NextBatch(ReportBatch& batch, bool& fromFlash);
    // Samples leave the journal once the cloud has them (or refused them).
    void Delivered(const ReportBatch& batch, bool fromFlash);
    std::string DeliveryKey(const ReportBatch& batch) const;
    // Moves undelivered samples to flash when they waited long enough; flash bounds.
    void KeepJournal(bool delivering);
    // Moves every memory sample to the flash tier (false: they stay in memory).
    bool SpillMemory();
    void SendHeartBeat();
    void StopReportThread();
    void Subscribe();
    void Unsubscribe();
    // Main loop: the status object's answer.
    void RefreshStatus();

    std::unique_ptr<NVRAM> nvram;
    timer::TimeSource& time;
    PostFn post;
    http::PostOptions post_options;
    PostFn send_post;  // Post() as a PostFn
    std::chrono::seconds interval;

    SampleStore store;
    ActiveNodes active;
    std::unique_ptr<Journal> journal;
    // Report thread only (and the main thread once it has ended).
    struct Body {
        uint64_t first = 0;
        uint64_t last = 0;
        bool flash = false;
    };
    std::optional<Body> in_flight;
    std::chrono::seconds spill_after{60};
    std::chrono::seconds store_sync{60};
    std::optional<timer::Clock::time_point> failing_since;
    std::optional<timer::Clock::time_point> last_sync;
    std::optional<timer::Clock::time_point> last_drop_log;
    uint64_t journal_dropped = 0;

    queue::ThreadSafeQueue<mailbox::Message> mailbox;
    mailbox::MainLoop loop;
    ReportStatus report_status;
    std::size_t devices_heard = 0;                                 // main loop
    std::size_t samples_max = 0;                                   // main loop, once known
    status::Snapshot snapshot{status::PackageVersion("reportd")};  // before the listener
    std::unique_ptr<ubus::Listener> listener;
    std::unique_ptr<timer::TimerQueue> timers;
    heartbeat::Sender heartbeat;

    std::atomic<bool> running{true};  // true from the start: a stop may come before Run
    std::atomic<bool> internet_up{false};
    std::atomic<bool> report_running{true};
    std::atomic<uint64_t> passes{0};
    std::atomic<bool> report_now{false};  // the internet came up: a pass at once
    mutex::Semaphore report_wake;
    std::thread report_thread;  // last: started once everything above exists
};
