// ubus classes over a private bus of their transport, against a second process: a peer that
// serves an object, emits and records events (Python on the host bus, C++ on ubusd), and a
// C++ program that sends events.

#include "ubus.h"
#include "ubus_payload.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "host_bus.h"
#include "ubus_bus.h"
#include "wait_for.h"

namespace {

using nlohmann::json;
using testing_support::ChildProcess;
using testing_support::UbusBus;
using testing_support::WaitFor;
using namespace std::chrono_literals;

constexpr const char* kPeer = "test.peer";

// The peer serving `object` (and recording events of `pattern`, if any).
std::vector<std::string> PeerProgram(const std::string& object, const std::string& pattern = "") {
    std::vector<std::string> argv = {UBUS_PEER, object};
    if (!pattern.empty())
        argv.push_back(pattern);
    if (testing_support::kHostBus) {
        argv.insert(argv.begin(), "/usr/bin/python3");
        return argv;
    }
    return testing_support::BuiltProgram(argv);
}

// Texts a handler receives, in arrival order.
class Inbox {
  public:
    ubus::Listener::Handler Handler() {
        return [this](const char* text) {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.emplace_back(text);
        };
    }
    std::vector<std::string> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t Size() { return Items().size(); }

  private:
    std::mutex mutex_;
    std::vector<std::string> items_;
};

class UbusTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (testing_support::UbusDaemon().empty())
            return;
        bus_ = new UbusBus();
        peer_ = new ChildProcess(PeerProgram(kPeer, "test.*"));
        ASSERT_TRUE(peer_->WaitForLine("READY")) << "the peer did not start";
    }
    static void TearDownTestSuite() {
        delete peer_;
        delete bus_;
    }
    void SetUp() override {
        SKIP_WITHOUT_UBUS_DAEMON();
        Peer("clear");
    }

    // Calls the peer and returns its answer ("" for none); the call must succeed.
    static std::string Peer(const char* method, const std::string& args = "") {
        ubus::Sender sender(30);
        std::string answer;
        EXPECT_TRUE(sender.Invoke(kPeer, method, args, [&](const char* j) { answer = j; }))
            << method;
        return answer;
    }
    // Events the peer has heard, as [type, data] pairs, members in their order.
    static nlohmann::ordered_json PeerEvents() {
        return nlohmann::ordered_json::parse(Peer("events"))["events"];
    }

    static std::string Stderr() { return testing::internal::GetCapturedStderr(); }
    static std::size_t Count(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
            ++n;
        return n;
    }
    static void CaptureStderr() { testing::internal::CaptureStderr(); }

    static UbusBus* bus_;
    static ChildProcess* peer_;
};

UbusBus* UbusTest::bus_ = nullptr;
ChildProcess* UbusTest::peer_ = nullptr;

// ---- events ----

TEST_F(UbusTest, EventsFromAnotherProcessArriveInOrderWithASenderPerEvent) {
    Inbox inbox;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Connected());
    listener.ServerStart();
    // Registered while the loop already runs.
    ASSERT_TRUE(listener.Register("test.order", inbox.Handler()));

    constexpr int kCount = 300;
    ChildProcess sender(
        testing_support::BuiltProgram({UBUS_SEND_HELPER, "test.order", std::to_string(kCount)}));
    auto status = sender.Wait(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    // Every event must arrive although each Sender hung up right after sending.
    ASSERT_TRUE(WaitFor([&] { return inbox.Size() == kCount; }, 10s)) << inbox.Size();
    const auto items = inbox.Items();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(items[i], "{\"seq\":" + std::to_string(i) + "}");
    }
    // The peer, subscribed to test.*, heard the same sequence.
    ASSERT_TRUE(WaitFor([&] { return PeerEvents().size() == kCount; }, 10s));
    EXPECT_EQ(PeerEvents()[kCount - 1].dump(), R"(["test.order",{"seq":299}])");
}

TEST_F(UbusTest, EventsFromThePeerReachTheirHandlers) {
    Inbox a, b;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.a", a.Handler()));
    ASSERT_TRUE(listener.Register("test.b", b.Handler()));
    listener.ServerStart();
    Peer("emit", R"({"type":"test.a","count":50})");
    Peer("emit", R"({"type":"test.b","count":2})");
    ASSERT_TRUE(WaitFor([&] { return a.Size() == 50 && b.Size() == 2; }));
    EXPECT_EQ(a.Items()[49], "{\"seq\":49}");
    EXPECT_EQ(b.Items()[0], "{\"seq\":0}");
}

TEST_F(UbusTest, SecondHandlerForATypeIsRefusedAndTheFirstKept) {
    Inbox first, second;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.dup", first.Handler()));
    EXPECT_FALSE(listener.Register("test.dup", second.Handler()));
    listener.ServerStart();
    Peer("emit", R"({"type":"test.dup","count":3})");
    ASSERT_TRUE(WaitFor([&] { return first.Size() == 3; }));
    EXPECT_EQ(second.Size(), 0u);
}

TEST_F(UbusTest, EventsWithoutAHandlerAreDroppedSilently) {
    Inbox pattern, known;
    ubus::Listener listener;
    // The prefix subscription lets test.wild.other in; no handler has that type's key.
    ASSERT_TRUE(listener.Register("test.wild*", pattern.Handler()));
    ASSERT_TRUE(listener.Register("test.wild.known", known.Handler()));
    listener.ServerStart();
    CaptureStderr();
    Peer("emit", R"({"type":"test.wild.other","count":3})");
    Peer("emit", R"({"type":"test.wild.known","count":1})");
    const bool arrived = WaitFor([&] { return known.Size() == 1; });
    EXPECT_EQ(Stderr(), "");
    ASSERT_TRUE(arrived);
    EXPECT_EQ(pattern.Size(), 0u);
}

TEST_F(UbusTest, UnregisteredTypesAreIgnored) {
    Inbox a, b, c;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.a", a.Handler()));
    ASSERT_TRUE(listener.Register("test.b", b.Handler()));
    listener.ServerStart();
    EXPECT_TRUE(listener.Unregister("test.a"));
    EXPECT_FALSE(listener.Unregister("test.a"));
    Peer("emit", R"({"type":"test.a","count":1})");
    Peer("emit", R"({"type":"test.b","count":1})");
    ASSERT_TRUE(WaitFor([&] { return b.Size() == 1; }));
    EXPECT_EQ(a.Size(), 0u);

    // With the last handler gone the listener ignores everything until it registers again.
    EXPECT_TRUE(listener.Unregister("test.b"));
    Peer("emit", R"({"type":"test.b","count":1})");
    ASSERT_TRUE(listener.Register("test.c", c.Handler()));
    Peer("emit", R"({"type":"test.c","count":1})");
    ASSERT_TRUE(WaitFor([&] { return c.Size() == 1; }));
    EXPECT_EQ(b.Size(), 1u);
}

TEST_F(UbusTest, ListenerDestroyedWhileEventsArrive) {
    auto received = std::make_shared<std::atomic<int>>(0);
    auto listener = std::make_unique<ubus::Listener>();
    ASSERT_TRUE(listener->Register("test.flood", [received](const char*) { ++*received; }));
    listener->ServerStart();
    std::thread flood([] { Peer("emit", R"({"type":"test.flood","count":3000})"); });
    ASSERT_TRUE(WaitFor([&] { return *received > 0; }));
    listener.reset();
    const int atDestruction = *received;
    flood.join();
    EXPECT_EQ(*received, atDestruction);
    EXPECT_LT(atDestruction, 3000);
}

TEST_F(UbusTest, AHandlerMayEndItsOwnLoop) {
    std::atomic<int> calls{0};
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.stop", [&](const char*) {
        ++calls;
        listener.ServerStop();
    }));
    listener.ServerStart();
    CaptureStderr();
    Peer("emit", R"({"type":"test.stop","count":5})");
    const bool called = WaitFor([&] { return calls > 0; });
    listener.ServerStop();  // joins the ended loop
    EXPECT_EQ(Stderr(), "");
    ASSERT_TRUE(called);
    EXPECT_EQ(calls, 1);
}

TEST_F(UbusTest, LoopEndedBeforeItStartsDoesNotHang) {
    ubus::Listener listener;
    listener.ServerStop();
    listener.ServerStart();
    listener.ServerStop();
}

// ---- payloads ----

TEST_F(UbusTest, SendEventRefusesPayloadsThatAreNotJsonObjects) {
    ubus::Sender sender(30);
    CaptureStderr();
    EXPECT_FALSE(sender.SendEvent("test.bad", ""));
    EXPECT_FALSE(sender.SendEvent(nullptr, "{}"));
    EXPECT_FALSE(sender.SendEvent("test.bad", "{broken"));
    EXPECT_FALSE(sender.SendEvent("test.bad", "[1,2]"));
    EXPECT_FALSE(sender.SendEvent("test.bad", "\"text\""));
    EXPECT_EQ(Stderr(),
              "Failed to parse message data : {broken\n"
              "Failed to parse message data : [1,2]\n"
              "Failed to parse message data : \"text\"\n");
    // Only the valid event went out, compact and with its members in order.
    EXPECT_TRUE(sender.SendEvent("test.good", "{ \"z\" : 1, \"a\" : [true, null, 1.5] }"));
    ASSERT_TRUE(WaitFor([&] { return PeerEvents().size() == 1; }));
    EXPECT_EQ(PeerEvents()[0].dump(), R"(["test.good",{"z":1,"a":[true,null,1.5]}])");
}

TEST_F(UbusTest, InvokeRefusesArgumentsThatAreNotJsonObjects) {
    ubus::Sender sender(30);
    Peer("nothing", R"({"marker":1})");
    int replies = 0;
    CaptureStderr();
    EXPECT_FALSE(sender.Invoke(kPeer, "echo", "nope", [&](const char*) { ++replies; }));
    EXPECT_FALSE(sender.Invoke(kPeer, "echo", "[1]", [&](const char*) { ++replies; }));
    EXPECT_FALSE(sender.Invoke(kPeer, "echo", "42", [&](const char*) { ++replies; }));
    EXPECT_EQ(Stderr(),
              "Failed to parse args data (nope)\n"
              "Failed to parse args data ([1])\n"
              "Failed to parse args data (42)\n");
    EXPECT_EQ(replies, 0);
    EXPECT_EQ(Peer("raw"), R"({"text":"{\"marker\":1}"})");  // nothing reached the peer
}

TEST_F(UbusTest, PayloadsNestedDeeperThanBlobmsgTakesAreRefused) {
    // blobmsg's JSON reader takes a value at most 32 levels deep (the top-level object is 1).
    auto nested = [](int arrays, const char* inner) {
        return "{\"a\":" + std::string(arrays, '[') + inner + std::string(arrays, ']') + "}";
    };
    Inbox inbox;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.deep", inbox.Handler()));
    listener.ServerStart();
    CaptureStderr();
    // From another process: a deep event must not take the listener down. Only the host bus
    // carries one; on ubusd blobmsg cannot even hold it.
    std::string dropped;
    if (testing_support::kHostBus) {
        Peer("emit_raw", json{{"type", "test.deep"}, {"text", nested(200000, "")}}.dump());
        Peer("emit_raw", json{{"type", "test.deep"}, {"text", nested(31, "1")}}.dump());
        for (int i = 0; i < 2; ++i)
            dropped += "ubus event test.deep dropped: payload is not a JSON object blobmsg takes\n";
    }
    Peer("emit_raw", json{{"type", "test.deep"}, {"text", nested(30, "\"x\"")}}.dump());
    ASSERT_TRUE(WaitFor([&] { return inbox.Size() == 1; }));
    // From here: the sender refuses what blobmsg would refuse (the listener hears the rest).
    ubus::Sender sender(30);
    EXPECT_FALSE(sender.SendEvent("test.deep", nested(32, "")));
    EXPECT_TRUE(sender.SendEvent("test.deep", nested(31, "")));
    ASSERT_TRUE(WaitFor([&] { return inbox.Size() == 2; }));
    EXPECT_EQ(Stderr(), dropped + "Failed to parse message data : " + nested(32, "") + "\n");
    EXPECT_EQ(inbox.Items(), (std::vector<std::string>{nested(30, "\"x\""), nested(31, "")}));
}

TEST_F(UbusTest, EventsOverUbusdsMessageSizeAreDroppedBeforeParsing) {
    Inbox inbox;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.big", inbox.Handler()));
    listener.ServerStart();
    CaptureStderr();
    const std::size_t bound = ubus::payload::kMaxBytes;
    // Only the host bus carries both: ubusd refuses the one over from its sender already, and
    // the one at the bound too, once the message's own headers are added.
    std::string dropped;
    if (testing_support::kHostBus) {
        Peer("emit_sized", json{{"type", "test.big"}, {"bytes", bound + 1}}.dump());
        Peer("emit_sized", json{{"type", "test.big"}, {"bytes", bound}}.dump());
        ASSERT_TRUE(WaitFor([&] { return inbox.Size() == 1; }));
        EXPECT_EQ(inbox.Items()[0].size(), bound);
        dropped =
            "ubus event test.big dropped: payload of 1048577 bytes, over the 1048576 of a "
            "message\n";
    }
    // The sender holds the same bound; its line quotes only the start of the payload.
    ubus::Sender sender(30);
    const std::string over = "{\"s\":\"" + std::string(bound - 7, 'x') + "\"}";
    EXPECT_FALSE(sender.SendEvent("test.big", over));
    EXPECT_EQ(Stderr(), dropped + "Failed to parse message data : {\"s\":\"" +
                            std::string(250, 'x') + "... (1048577 bytes)\n");
}

// ---- calls ----

TEST_F(UbusTest, InvokeReturnsTheAnswerToItsHandler) {
    ubus::Sender sender(30);
    std::string answer;
    EXPECT_TRUE(
        sender.Invoke(kPeer, "echo", R"({"b":1,"a":"x"})", [&](const char* j) { answer = j; }));
    EXPECT_EQ(answer, R"({"got":{"b":1,"a":"x"}})");
    // A method that answers with no data: true, and the handler is not called.
    int calls = 0;
    EXPECT_TRUE(sender.Invoke(kPeer, "nothing", "{}", [&](const char*) { ++calls; }));
    EXPECT_EQ(calls, 0);
    // A call without a handler on a reused Sender must not reach an earlier handler.
    EXPECT_TRUE(sender.Invoke(kPeer, "echo", "{}"));
    EXPECT_EQ(answer, R"({"got":{"b":1,"a":"x"}})");
}

TEST_F(UbusTest, EmptyArgumentsSendAnEmptyTable) {
    ubus::Sender sender(30);
    std::string answer;
    EXPECT_TRUE(sender.Invoke(kPeer, "echo", "", [&](const char* j) { answer = j; }));
    EXPECT_EQ(answer, R"({"got":{}})");
    EXPECT_EQ(Peer("raw"), R"({"text":"{}"})");
}

TEST_F(UbusTest, AMissingObjectIsNamedWithItsStatusOnceUntilItIsFoundAgain) {
    // Without a logger, the log's lines go to standard error.
    const std::string anyError = "ERROR [";
    const std::string line = R"(ubus object "test.late" not found (4 Not found))";
    ubus::Sender sender(30);
    int calls = 0;
    CaptureStderr();
    EXPECT_FALSE(sender.Invoke("test.late", "echo", "{}", [&](const char*) { ++calls; }));
    EXPECT_FALSE(sender.Invoke("test.late", "nothing", ""));
    EXPECT_FALSE(sender.Invoke("9bad..name", "echo", "{}", [&](const char*) { ++calls; }));
    std::string err = Stderr();
    EXPECT_EQ(Count(err, line), 1u) << err;
    EXPECT_EQ(Count(err, R"(ubus object "9bad..name" not found (4 Not found))"), 1u) << err;
    EXPECT_EQ(Count(err, anyError), 2u) << err;
    EXPECT_EQ(calls, 0);

    // Found, then gone again: a new outage, a new line.
    {
        ChildProcess late(PeerProgram("test.late"));
        ASSERT_TRUE(late.WaitForLine("READY"));
        EXPECT_TRUE(sender.Invoke("test.late", "nothing", ""));
    }
    CaptureStderr();
    EXPECT_TRUE(WaitFor([&] { return !sender.Invoke("test.late", "nothing", ""); }));
    EXPECT_FALSE(sender.Invoke("test.late", "nothing", ""));
    err = Stderr();
    EXPECT_EQ(Count(err, line), 1u) << err;
}

TEST_F(UbusTest, FailedCallsReportTheStatusText) {
    ubus::Sender sender(30);
    int calls = 0;
    auto handler = [&](const char*) { ++calls; };
    CaptureStderr();
    EXPECT_FALSE(sender.Invoke(kPeer, "fail", "{\"k\":1}", handler));
    EXPECT_FALSE(sender.Invoke(kPeer, "nosuch", "", handler));
    std::string unparsed;
    // An answer that is not an object: only the host bus carries one (blobmsg cannot).
    if (testing_support::kHostBus) {
        EXPECT_FALSE(sender.Invoke(kPeer, "list", "", handler));
        unparsed = "invoke Parsing message data failed p:test.peer m:list arg:\n";
    }
    EXPECT_EQ(Stderr(),
              "invoke Invalid argument p:test.peer m:fail arg:{\"k\":1}\n"
              "invoke Method not found p:test.peer m:nosuch arg:\n" +
                  unparsed);
    EXPECT_EQ(calls, 0);
}

TEST_F(UbusTest, HiddenArgumentsStayOutOfTheFailureLines) {
    ubus::Sender sender(30);
    sender.HideArgs(true);
    CaptureStderr();
    EXPECT_FALSE(sender.Invoke(kPeer, "fail", R"({"key":"wifi-secret"})"));
    EXPECT_FALSE(sender.Invoke(kPeer, "echo", "wifi-secret"));
    EXPECT_EQ(Stderr(),
              "invoke Invalid argument p:test.peer m:fail arg:<hidden>\n"
              "Failed to parse args data (<hidden>)\n");
}

TEST_F(UbusTest, CallWithoutAnAnswerTimesOut) {
    ubus::Sender sender(1);
    int calls = 0;
    CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sender.Invoke(kPeer, "never", "", [&](const char*) { ++calls; }));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Stderr(), "invoke Request timed out p:test.peer m:never arg:\n");
    EXPECT_EQ(calls, 0);
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
}

TEST_F(UbusTest, ConcurrentCallsEachGetTheirOwnAnswer) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                ubus::Sender sender(30);
                const int n = t * 100 + round;
                int got = -1;
                const std::string args = R"({"n":)" + std::to_string(n) + R"(,"delay":0.01})";
                if (!sender.Invoke(kPeer, "echo", args, [&](const char* j) {
                        got = json::parse(j)["got"]["n"].get<int>();
                    })) {
                    ++failed;
                }
                if (got != n)
                    ++wrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

// ---- addresses ----

TEST_F(UbusTest, SocketPathOverridesTheEnvironment) {
    // A plain path is a unix socket path.
    ubus::Sender sender(30, (bus_->Dir() + "/bus").c_str());
    ASSERT_TRUE(sender.Connected());
    EXPECT_TRUE(sender.Invoke(kPeer, "nothing", ""));
    ubus::Sender full(30, bus_->Address().c_str());
    EXPECT_TRUE(full.Invoke(kPeer, "nothing", ""));
}

TEST_F(UbusTest, ObjectNamesNeedingEscapesAreFoundFromAnotherProcess) {
    // Served by the peer (Python on the host bus), called from here: both sides must spell
    // the name alike.
    for (const std::string name : {"9lives.caf\xc3\xa9+x", "wpa_supplicant._41"}) {
        ChildProcess other(PeerProgram(name));
        ASSERT_TRUE(other.WaitForLine("READY"));
        ubus::Sender sender(30);
        std::string answer;
        EXPECT_TRUE(sender.Invoke(name.c_str(), "echo", R"({"n":1})", [&](const char* j) {
            answer = j;
        })) << name;
        EXPECT_EQ(answer, R"({"got":{"n":1}})");
    }
}

TEST_F(UbusTest, WithoutABusEveryCallFails) {
    const std::string nowhere = bus_->Dir() + "/missing.sock";
    ubus::Listener listener(nowhere.c_str());
    ubus::Sender sender(30, nowhere.c_str());
    EXPECT_FALSE(listener.Connected());
    EXPECT_FALSE(sender.Connected());
    int calls = 0;
    CaptureStderr();
    EXPECT_FALSE(listener.Register("test.a", [&](const char*) { ++calls; }));
    EXPECT_FALSE(sender.Invoke(kPeer, "echo", "{}", [&](const char*) { ++calls; }));
    EXPECT_FALSE(sender.SendEvent("test.a", "{}"));
    const std::string err = Stderr();
    EXPECT_EQ(err.substr(0, err.find('\n') + 1), "Register Failed : Connection failed\n");
    EXPECT_EQ(Count(err, "ERROR ["), 1u) << err;
    EXPECT_EQ(Count(err, R"(ubus object "test.peer" not reached (10 Connection failed))"), 1u)
        << err;
    listener.ServerStart();
    listener.ServerStop();
    EXPECT_EQ(calls, 0);
}

// Outside the suite: it restarts a bus of its own.
TEST(EventSender, KeepsOneConnectionInOrderAndOutlivesABusRestart) {
    SKIP_WITHOUT_UBUS_DAEMON();
    UbusBus bus;
    auto listen = [](Inbox& inbox) {
        auto listener = std::make_unique<ubus::Listener>();
        EXPECT_TRUE(listener->Register("test.seq", inbox.Handler()));
        listener->ServerStart();
        return listener;
    };
    Inbox before;
    auto listener = listen(before);
    ubus::EventSender events;
    constexpr int kCount = 2000;
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(events.SendEvent("test.seq", "{\"seq\":" + std::to_string(i) + "}"));
    EXPECT_EQ(events.Opened(), 1u);
    ASSERT_TRUE(WaitFor([&] { return before.Size() == kCount; }, 10s)) << before.Size();
    const auto items = before.Items();
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(items[i], "{\"seq\":" + std::to_string(i) + "}");

    listener.reset();
    bus.Restart();
    Inbox after;
    listener = listen(after);
    // The old connection is dead; the event goes out on a new one, not lost.
    EXPECT_TRUE(events.SendEvent("test.seq", R"({"seq":-1})"));
    EXPECT_EQ(events.Opened(), 2u);
    ASSERT_TRUE(WaitFor([&] { return after.Size() == 1; }));
    EXPECT_EQ(after.Items()[0], R"({"seq":-1})");
}

// ---- the bus goes away under a listener ----

// Stands at the bus's address while the bus is away: takes each attempt to connect and hangs
// up at once, noting when it came.
class Doorstep {
  public:
    explicit Doorstep(std::string path) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(fd_, 16) != 0) {
            throw std::runtime_error("Doorstep: " + std::string(std::strerror(errno)));
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~Doorstep() {
        shutdown(fd_, SHUT_RDWR);  // ends the blocked accept
        thread_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    std::vector<std::chrono::steady_clock::time_point> Attempts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return attempts_;
    }
    size_t Count() { return Attempts().size(); }

  private:
    void Serve() {
        for (;;) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                attempts_.push_back(std::chrono::steady_clock::now());
            }
            close(c);
        }
    }

    std::string path_;
    int fd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::chrono::steady_clock::time_point> attempts_;
};

// Sends `type` events, each on a connection of its own, until `inbox` has one more; false
// when `timeout` passes first.
bool SendUntilHeard(const char* type, Inbox& inbox, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const size_t before = inbox.Size();
    while (std::chrono::steady_clock::now() < deadline) {
        ubus::Sender(30).SendEvent(type, R"({"again":1})");
        if (WaitFor([&] { return inbox.Size() > before; }, 100ms))
            return true;
    }
    return false;
}

const std::string kLostAndRestored =
    "ubus connection lost, connecting again\n"
    "ubus connection restored\n";

TEST(ListenerAfterABusRestart, HearsEveryRegisteredTypeAgain) {
    SKIP_WITHOUT_UBUS_DAEMON();
    UbusBus bus;
    Inbox early, late, dropped;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.early", early.Handler()));
    listener.ServerStart();
    ASSERT_TRUE(listener.Register("test.late", late.Handler()));
    ASSERT_TRUE(listener.Register("test.dropped", dropped.Handler()));
    ASSERT_TRUE(listener.Unregister("test.dropped"));
    testing::internal::CaptureStderr();

    bus.Restart();
    const bool earlyHeard = SendUntilHeard("test.early", early, 5s);
    // Every type is subscribed before the new connection is used: the first send arrives.
    ubus::Sender sender(30);
    EXPECT_TRUE(sender.SendEvent("test.dropped", "{}"));
    EXPECT_TRUE(sender.SendEvent("test.late", R"({"n":1})"));  // after test.dropped
    const bool lateHeard = WaitFor([&] { return late.Size() == 1; });
    const std::string err = testing::internal::GetCapturedStderr();

    ASSERT_TRUE(earlyHeard) << "no event heard within 5 s of the restart";
    ASSERT_TRUE(lateHeard);
    EXPECT_EQ(late.Items()[0], R"({"n":1})");
    EXPECT_EQ(dropped.Size(), 0u);
    EXPECT_EQ(err, kLostAndRestored);
}

TEST(ListenerAfterABusRestart, TriesLessOftenWhileTheBusStaysAwayAndSaysSoOnce) {
    SKIP_WITHOUT_UBUS_DAEMON();
    UbusBus bus;
    Inbox inbox;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.a", inbox.Handler()));
    listener.ServerStart();
    testing::internal::CaptureStderr();

    bus.Stop();
    std::vector<std::chrono::steady_clock::time_point> attempts;
    {
        // Each attempt finds something that hangs up, so each one fails.
        Doorstep door(bus.SocketPath());
        WaitFor([&] { return door.Count() >= 3; }, 10s);
        attempts = door.Attempts();
    }
    bus.Start();
    const bool heard = SendUntilHeard("test.a", inbox, 10s);
    const std::string err = testing::internal::GetCapturedStderr();

    ASSERT_GE(attempts.size(), 3u);
    // The waits double: 250 ms, 500 ms, 1 s, ...
    EXPECT_GE(attempts[1] - attempts[0], 450ms);
    EXPECT_GE(attempts[2] - attempts[1], 950ms);
    ASSERT_TRUE(heard) << "not heard again once the bus was back";
    EXPECT_EQ(err, kLostAndRestored);
}

TEST(ListenerAfterABusRestart, StopsAtOnceWhileWaitingForTheBus) {
    SKIP_WITHOUT_UBUS_DAEMON();
    UbusBus bus;
    Inbox inbox;
    ubus::Listener listener;
    ASSERT_TRUE(listener.Register("test.a", inbox.Handler()));
    listener.ServerStart();
    testing::internal::CaptureStderr();

    bus.Stop();
    Doorstep door(bus.SocketPath());
    const bool waiting = WaitFor([&] { return door.Count() >= 3; }, 10s);  // next in 2 s
    const auto start = std::chrono::steady_clock::now();
    listener.ServerStop();
    const auto took = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStderr();

    ASSERT_TRUE(waiting);
    EXPECT_LT(took, 1s);
}

}  // namespace
