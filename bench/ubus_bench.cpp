// Figures of the runtime on the host bus: events and calls between two processes over a
// private dbus-daemon, timer queue rates and the memory of an idle runtime process.
//
//   ubus_bench [benchmark options]   runs everything (starts its own bus and peer)
//   ubus_bench --peer | --idle | --bare   the other processes it starts

#include <benchmark/benchmark.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "private_bus.h"
#include "timer_queue.h"
#include "ubus.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Percentile of a sample (sorted in place), in microseconds.
double PercentileUs(std::vector<int64_t>& v, double p) {
    if (v.empty())
        return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

// Blocks SIGTERM/SIGINT (before any thread starts) and waits for one of them.
void WaitForTermination(const sigset_t& set) {
    int sig = 0;
    sigwait(&set, &sig);
}

sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// ---- the peer process ----

// ubus object "bench": Call(method, json) answers json (what a quick system service does).
int EchoCall(sd_bus_message* m, void*, sd_bus_error*) {
    const char* method = nullptr;
    const char* text = nullptr;
    const int r = sd_bus_message_read(m, "ss", &method, &text);
    if (r < 0)
        return r;
    return sd_bus_reply_method_return(m, "s", text);
}

const sd_bus_vtable kEchoVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Call", "ss", "s", EchoCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Takes the object's name on the bus; the caller runs the returned connection.
sd_bus* OpenEchoObject() {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, getenv("HALVEX_UBUS_ADDRESS")) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/ubus", "ubus.Object", kEchoVtable, nullptr) < 0 ||
        sd_bus_request_name(bus, "ubus.object.bench", 0) < 0) {
        std::fprintf(stderr, "peer: cannot serve the bench object\n");
        std::exit(1);
    }
    return bus;
}

void ServeEchoObject(sd_bus* bus) {
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return;
        if (r == 0)
            sd_bus_wait(bus, UINT64_MAX);
    }
}

// Records the one-way latency of every "bench.ping" (the sender's steady clock is this
// machine's CLOCK_MONOTONIC, so the two processes share it); answers "bench.pong" when
// asked to, and "bench.result" once `expect` pings have come.
class PingRecorder {
  public:
    void Ping(const char* text) {
        const int64_t now = NowNs();
        const auto msg = json::parse(text);
        latencies_.push_back(now - msg["t"].get<int64_t>());
        if (first_ == 0)
            first_ = now;
        last_ = now;
        if (msg.contains("pong"))
            sender_.SendEvent("bench.pong", text);
        MaybeReport();
    }
    void Report(const char* text) {
        expect_ = json::parse(text)["expect"].get<size_t>();
        MaybeReport();
    }

  private:
    void MaybeReport() {
        if (expect_ == 0 || latencies_.size() < expect_)
            return;
        json result = {{"count", latencies_.size()},
                       {"p50_us", PercentileUs(latencies_, 0.50)},
                       {"p99_us", PercentileUs(latencies_, 0.99)},
                       {"first", first_},
                       {"last", last_}};
        sender_.SendEvent("bench.result", result.dump());
        latencies_.clear();
        expect_ = 0;
        first_ = last_ = 0;
    }

    ubus::Sender sender_{30};
    std::vector<int64_t> latencies_;
    size_t expect_ = 0;
    int64_t first_ = 0, last_ = 0;
};

int RunPeer() {
    const sigset_t stop = TerminationSignals();
    std::thread(ServeEchoObject, OpenEchoObject()).detach();
    PingRecorder recorder;  // used on the loop thread only
    ubus::Listener listener;
    listener.Register("bench.ping", [&](const char* j) { recorder.Ping(j); });
    listener.Register("bench.report", [&](const char* j) { recorder.Report(j); });
    listener.ServerStart();
    std::printf("READY\n");
    std::fflush(stdout);
    WaitForTermination(stop);
    _exit(0);  // the object thread is blocked in sd_bus_wait
}

// An idle daemon: a Listener with its loop running and a timer queue with one timer.
int RunIdle() {
    const sigset_t stop = TerminationSignals();
    ubus::Listener listener;
    listener.Register("bench.idle", [](const char*) {});
    listener.ServerStart();
    timer::TimerQueue timers;
    timers.Add(std::chrono::hours(1), [](bool) {});
    std::printf("READY\n");
    std::fflush(stdout);
    WaitForTermination(stop);
    return 0;
}

// The same program doing nothing: the baseline of the memory figure.
int RunBare() {
    const sigset_t stop = TerminationSignals();
    std::printf("READY\n");
    std::fflush(stdout);
    WaitForTermination(stop);
    return 0;
}

// ---- the measuring process ----

// Events this process hears ("bench.result", "bench.pong"), taken in order.
class Inbox {
  public:
    void Put(std::string text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(text));
        }
        cond_.notify_one();
    }
    std::optional<std::string> Take(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cond_.wait_for(lock, timeout, [&] { return !items_.empty(); }))
            return std::nullopt;
        std::string text = std::move(items_.front());
        items_.pop_front();
        return text;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::string> items_;
};

Inbox* results = nullptr;
Inbox* pongs = nullptr;

std::string PingText(int64_t seq, bool pong) {
    std::string text = "{\"seq\":" + std::to_string(seq) + ",\"t\":" + std::to_string(NowNs());
    return text + (pong ? ",\"pong\":1}" : "}");
}

// Asks the peer for its figures once `count` pings have arrived.
std::optional<json> PeerResult(size_t count) {
    ubus::Sender sender(30);
    sender.SendEvent("bench.report", "{\"expect\":" + std::to_string(count) + "}");
    auto text = results->Take(std::chrono::seconds(30));
    if (!text)
        return std::nullopt;
    return json::parse(*text);
}

// Events sent as fast as one thread can: throughput, and latency under that load.
void BM_EventFlood(benchmark::State& state) {
    const bool reuse = state.range(0) != 0;
    std::unique_ptr<ubus::Sender> shared;
    if (reuse)
        shared = std::make_unique<ubus::Sender>(30);
    const int64_t start = NowNs();
    int64_t seq = 0;
    for (auto _ : state) {
        if (reuse) {
            shared->SendEvent("bench.ping", PingText(seq++, false));
        } else {
            ubus::Sender sender(30);
            sender.SendEvent("bench.ping", PingText(seq++, false));
        }
    }
    auto result = PeerResult(static_cast<size_t>(seq));
    if (!result) {
        state.SkipWithError("events were lost");
        return;
    }
    const double seconds = static_cast<double>((*result)["last"].get<int64_t>() - start) / 1e9;
    state.counters["events/s"] = static_cast<double>(seq) / seconds;
    state.counters["p50_us"] = (*result)["p50_us"].get<double>();
    state.counters["p99_us"] = (*result)["p99_us"].get<double>();
}
BENCHMARK(BM_EventFlood)->ArgName("reused")->Arg(0)->Arg(1)->Iterations(3000)->UseRealTime();

// One event at a time, the next after the peer's answer: latency without a queue.
void BM_EventPingPong(benchmark::State& state) {
    const bool reuse = state.range(0) != 0;
    std::unique_ptr<ubus::Sender> shared;
    if (reuse)
        shared = std::make_unique<ubus::Sender>(30);
    std::vector<int64_t> rtt;
    int64_t seq = 0;
    for (auto _ : state) {
        const int64_t t0 = NowNs();
        if (reuse) {
            shared->SendEvent("bench.ping", PingText(seq++, true));
        } else {
            ubus::Sender sender(30);
            sender.SendEvent("bench.ping", PingText(seq++, true));
        }
        if (!pongs->Take(std::chrono::seconds(10))) {
            state.SkipWithError("no answer");
            return;
        }
        rtt.push_back(NowNs() - t0);
    }
    auto result = PeerResult(static_cast<size_t>(seq));
    if (!result) {
        state.SkipWithError("events were lost");
        return;
    }
    state.counters["oneway_p50_us"] = (*result)["p50_us"].get<double>();
    state.counters["oneway_p99_us"] = (*result)["p99_us"].get<double>();
    state.counters["rtt_p50_us"] = PercentileUs(rtt, 0.50);
    state.counters["rtt_p99_us"] = PercentileUs(rtt, 0.99);
}
BENCHMARK(BM_EventPingPong)->ArgName("reused")->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();

// Method calls answered by another process.
void BM_Invoke(benchmark::State& state) {
    const bool reuse = state.range(0) != 0;
    std::unique_ptr<ubus::Sender> shared;
    if (reuse)
        shared = std::make_unique<ubus::Sender>(30);
    int failed = 0;
    for (auto _ : state) {
        int replies = 0;
        auto count = [&](const char*) { ++replies; };
        bool ok;
        if (reuse) {
            ok = shared->Invoke("bench", "echo", R"({"config":"halvex"})", count);
        } else {
            ubus::Sender sender(30);
            ok = sender.Invoke("bench", "echo", R"({"config":"halvex"})", count);
        }
        if (!ok || replies != 1)
            ++failed;
    }
    if (failed)
        state.SkipWithError("calls failed");
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Invoke)->ArgName("reused")->Arg(0)->Arg(1)->UseRealTime();

void BM_TimerQueueAdd(benchmark::State& state) {
    timer::TimerQueue timers;
    for (auto _ : state) {
        benchmark::DoNotOptimize(timers.Add(std::chrono::hours(1), [](bool) {}));
    }
    state.counters["adds/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TimerQueueAdd)->UseRealTime();

// Cancels every one of `pending` timers. A cancel scans the queue, and a cancelled entry
// stays there until its due time, so the cost grows with everything added and not yet due.
void BM_TimerQueueCancel(benchmark::State& state) {
    timer::TimerQueue timers;
    std::vector<uint64_t> ids;
    for (int64_t i = 0; i < state.range(0); ++i) {
        ids.push_back(timers.Add(std::chrono::hours(1), [](bool) {}));
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(timers.Cancel(ids[next++ % ids.size()]));
    }
    state.counters["cancels/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TimerQueueCancel)->ArgName("pending")->Arg(100)->Iterations(100)->UseRealTime();
BENCHMARK(BM_TimerQueueCancel)->ArgName("pending")->Arg(10000)->Iterations(10000)->UseRealTime();

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

long VmRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Resident memory of a started program, once it says READY.
long ProgramRssKb(const std::string& self, const char* role) {
    testing_support::ChildProcess child({self, role});
    if (!child.WaitForLine("READY"))
        return -1;
    return VmRssKb(child.Pid());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--peer") == 0)
        return RunPeer();
    if (argc > 1 && std::strcmp(argv[1], "--idle") == 0)
        return RunIdle();
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0)
        return RunBare();

    const std::string self = SelfPath();
    testing_support::PrivateBus bus;
    testing_support::ChildProcess peer({self, "--peer"});
    if (!peer.WaitForLine("READY", std::chrono::seconds(30))) {
        std::fprintf(stderr, "the peer process did not start\n");
        return 1;
    }
    Inbox resultInbox, pongInbox;
    results = &resultInbox;
    pongs = &pongInbox;
    ubus::Listener listener;
    listener.Register("bench.result", [](const char* j) { results->Put(j); });
    listener.Register("bench.pong", [](const char* j) { pongs->Put(j); });
    listener.ServerStart();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const long idle = ProgramRssKb(self, "--idle");
    const long bare = ProgramRssKb(self, "--bare");
    std::printf("\nVmRSS of an idle runtime process (Listener loop + TimerQueue): %ld kB\n", idle);
    std::printf("VmRSS of the same program idle without the runtime:            %ld kB\n", bare);
    return 0;
}
