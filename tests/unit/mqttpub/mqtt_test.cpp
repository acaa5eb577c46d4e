#include "mqtt.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "broker.h"
#include "log_capture.h"
#include "wait_for.h"

using testing_support::Broker;
using testing_support::LogCapture;
using testing_support::LoopbackAddress;
using testing_support::WaitFor;

// Read by LeakSanitizer in the sanitizer builds. A stop that cancels the library's network thread
// inside a connect leaves that connect's address list unfreed; the daemon is ending then.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:getaddrinfo\n";
}

namespace {

// A second client that records what the broker delivers on "brelix/#".
class Subscriber : public mosqpp::mosquittopp {
  public:
    struct Received {
        std::string topic;
        std::string payload;
        int qos;
        bool retain;
    };

    explicit Subscriber(int port) : mosqpp::mosquittopp(nullptr, true) {
        loop_start();
        connect_async("127.0.0.1", port, 60);
    }
    ~Subscriber() override {
        disconnect();
        loop_stop(false);
    }

    void on_connect(int rc) override {
        if (rc == 0)
            subscribe(nullptr, "brelix/#", 0);
    }
    void on_subscribe(int, int, const int*) override { subscribed_ = true; }
    void on_message(const mosquitto_message* m) override {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back({m->topic,
                             std::string(static_cast<const char*>(m->payload),
                                         static_cast<std::size_t>(m->payloadlen)),
                             m->qos, m->retain});
    }

    bool Subscribed() const { return subscribed_; }
    std::vector<Received> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    std::vector<Received> received_;
};

// A listener whose accept queue is full: the kernel drops further SYNs, so a connect() to its
// port hangs as it does towards a broker behind a firewall that drops packets.
class BlackHole {
  public:
    explicit BlackHole(int port) : port_(port) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = LoopbackAddress(port_);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 0) != 0) {
            return;
        }
        // Connect until one attempt stays unanswered: from then on the queue is full.
        for (int i = 0; i < 4 && !filled_; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(fd);
            pollfd p{fd, POLLOUT, 0};
            filled_ = poll(&p, 1, 300) == 0;
        }
    }
    ~BlackHole() { Release(); }

    bool Filled() const { return filled_; }

    // Connection attempts to the port that wait for an answer (the filler's among them).
    int Unanswered() const {
        std::ifstream in("/proc/net/tcp");
        std::string line;
        std::getline(in, line);
        int n = 0;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = remote.find(':');
            if (colon != std::string::npos &&
                std::stoi(remote.substr(colon + 1), nullptr, 16) == port_ && state == "02") {
                ++n;
            }
        }
        return n;
    }

    // Closes the port: waiting attempts are refused at their next retry.
    void Release() {
        for (int fd : fillers_)
            close(fd);
        fillers_.clear();
        if (listener_ >= 0)
            close(listener_);
        listener_ = -1;
    }

  private:
    int port_;
    int listener_ = -1;
    std::vector<int> fillers_;
    bool filled_ = false;
};

// A listener on the broker's port in place of the broker: each connection it accepts goes to
// `serve`, which keeps it (returns true; closed at the end) or has closed it.
class FakeBroker {
  public:
    FakeBroker(int port, std::function<bool(int)> serve) : serve_(std::move(serve)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = LoopbackAddress(port);
        listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     listen(listener_, 8) == 0;
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeBroker() {
        stop_ = true;
        thread_.join();
        for (int fd : clients_)
            close(fd);
        close(listener_);
    }

    bool Listening() const { return listening_; }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd >= 0 && serve_(fd))
                clients_.push_back(fd);
        }
    }

    std::function<bool(int)> serve_;
    int listener_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::vector<int> clients_;
    std::thread thread_;
};

// Something on the broker's port that answers every CONNECT with a CONNACK code MQTT 3.1.1 does
// not define, as a broker speaking another protocol version might.
class BadBroker {
  public:
    explicit BadBroker(int port) : fake_(port, [this](int fd) { return Answer(fd); }) {}

    bool Listening() const { return fake_.Listening(); }
    int Answered() const { return answered_.load(); }

  private:
    bool Answer(int fd) {
        char connect_packet[256];
        pollfd c{fd, POLLIN, 0};
        if (poll(&c, 1, 2000) == 1 && read(fd, connect_packet, sizeof connect_packet) > 0) {
            const char connack[] = {0x20, 0x02, 0x00, static_cast<char>(0x80)};
            if (write(fd, connack, sizeof connack) == sizeof connack)
                ++answered_;
        }
        return true;
    }

    std::atomic<int> answered_{0};
    FakeBroker fake_;  // last: its thread uses the members above
};

// Accepts connections and either closes each at once or never says a word.
class MuteBroker {
  public:
    MuteBroker(int port, bool close_at_once)
        : close_(close_at_once), fake_(port, [this](int fd) { return Accept(fd); }) {}

    bool Listening() const { return fake_.Listening(); }
    int Accepted() const { return accepted_.load(); }

  private:
    bool Accept(int fd) {
        ++accepted_;
        if (!close_)
            return true;
        close(fd);
        return false;
    }

    bool close_;
    std::atomic<int> accepted_{0};
    FakeBroker fake_;  // last: its thread uses the members above
};

class MqttTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogCapture::Init("mqttpub_test.log");
        mosqpp::lib_init();
        auto nvram = std::make_unique<NVRAM>();
        nvram->mqtt_host = "127.0.0.1";
        nvram->mqtt_port = broker.Port();
        mqtt = std::make_unique<MQTT>(std::move(nvram));
        ASSERT_TRUE(mqtt->StartNetwork());
        subscriber = std::make_unique<Subscriber>(broker.Port());
        ASSERT_TRUE(WaitFor([&] { return subscriber->Subscribed(); }));
    }
    void TearDown() override {
        mqtt->StopNetwork();
        subscriber.reset();
    }

    // A fresh mqttpub with these settings, its network thread started.
    void Restart(std::function<void(NVRAM&)> settings,
                 std::chrono::milliseconds restart_delay = std::chrono::seconds(1),
                 timer::TimeSource& time = timer::SteadyTime()) {
        mqtt->StopNetwork();
        auto nvram = std::make_unique<NVRAM>();
        nvram->mqtt_host = "127.0.0.1";
        nvram->mqtt_port = broker.Port();
        settings(*nvram);
        mqtt = std::make_unique<MQTT>(std::move(nvram), restart_delay, time);
        ASSERT_TRUE(mqtt->StartNetwork());
    }

    void Event(const char* handler, const std::string& text) {
        if (std::string(handler) == "sensor") {
            mqtt->ProcessUBUSSensorHandler(text.c_str());
        } else {
            mqtt->ProcessUBUSManagerHandler(text.c_str());
        }
        while (mqtt->MessageHandler()) {
        }
    }
    void InternetUp() { Event("manager", R"({"evt":{"internet":"up"}})"); }
    // What the main loop does each pass.
    void Pump() {
        while (mqtt->MessageHandler()) {
        }
    }

    Broker broker;
    timer::ManualTime clock;  // for the tests that step the restart timers; outlives mqtt
    std::unique_ptr<MQTT> mqtt;
    std::unique_ptr<Subscriber> subscriber;
};

TEST_F(MqttTest, ReadingArrivesOnItsTopicWithSortedKeysQos0NotRetained) {
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    Event("sensor",
          R"({"device_id":"AABBCCDDEEFF","sensor_type":"AT","data":{"v":21,"ts":1700000000}})");
    ASSERT_TRUE(WaitFor([&] { return subscriber->Messages().size() == 1; }));
    auto m = subscriber->Messages()[0];
    EXPECT_EQ(m.topic, "brelix/AABBCCDDEEFF/AT");
    EXPECT_EQ(m.payload, R"({"ts":1700000000,"v":21})");
    EXPECT_EQ(m.qos, 0);
    EXPECT_FALSE(m.retain);
}

TEST_F(MqttTest, SecondInternetUpWhileConnectedMakesNoSecondConnection) {
    LogCapture log;
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    InternetUp();
    EXPECT_EQ(log.Count("Already connected.."), 1u);
    EXPECT_EQ(mqtt->Connections(), 1u);
}

TEST_F(MqttTest, InternetDownAndWlanReportsDoNotDisconnect) {
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    Event("manager", R"({"evt":{"internet":"down","wlan":"down"}})");
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":3}})");
    ASSERT_TRUE(WaitFor([&] { return subscriber->Messages().size() == 1; }));
    EXPECT_TRUE(mqtt->Connected());
}

TEST_F(MqttTest, PublishingResumesAfterTheBrokerRestarts) {
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return !mqtt->Connected(); }));
    LogCapture log;
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":4}})");  // lost
    broker.Start();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }, std::chrono::seconds(10)));
    subscriber = std::make_unique<Subscriber>(broker.Port());
    ASSERT_TRUE(WaitFor([&] { return subscriber->Subscribed(); }));
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":5}})");
    ASSERT_TRUE(WaitFor([&] { return subscriber->Messages().size() == 1; }));
    EXPECT_EQ(subscriber->Messages()[0].payload, R"({"ts":5})");
    EXPECT_EQ(mqtt->Connections(), 2u);
    EXPECT_TRUE(log.Contains("1 readings lost")) << log.Since();
}

TEST_F(MqttTest, BrokerDownAtFirstInternetUpIsReachedLaterByTheLibraryAlone) {
    broker.Stop();
    LogCapture log;
    InternetUp();
    // Later reports leave the retrying to the network thread.
    InternetUp();
    InternetUp();
    EXPECT_EQ(log.Count("Connecting.."), 2u) << log.Since();
    broker.Start();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }, std::chrono::seconds(10)));
    EXPECT_EQ(mqtt->Connections(), 1u);
}

TEST_F(MqttTest, MalformedReadingIsDroppedAndTheNextOneStillGoesOut) {
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    LogCapture log;
    Event("sensor", R"({"device_id":"A","data":{"ts":1}})");
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":5})");
    Event("sensor", R"({"device_id":"A/B","sensor_type":"AT","data":{}})");
    Event("manager", R"({"evt":{"internet":0}})");
    EXPECT_EQ(log.Count("ERROR"), 4u) << log.Since();
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":6}})");
    ASSERT_TRUE(WaitFor([&] { return subscriber->Messages().size() == 1; }));
    EXPECT_EQ(subscriber->Messages()[0].topic, "brelix/A/AT");
}

TEST_F(MqttTest, NetworkThreadEndedByABadAnswerIsStartedAgainUntilTheBrokerIsBack) {
    subscriber.reset();
    broker.Stop();
    mqtt->StopNetwork();
    auto nvram = std::make_unique<NVRAM>();
    nvram->mqtt_host = "127.0.0.1";
    nvram->mqtt_port = broker.Port();
    mqtt = std::make_unique<MQTT>(std::move(nvram), std::chrono::milliseconds(100));
    ASSERT_TRUE(mqtt->StartNetwork());
    LogCapture log;
    {
        BadBroker bad(broker.Port());
        ASSERT_TRUE(bad.Listening());
        InternetUp();
        // The connect and its one immediate retry are answered; the library's thread then ends
        // and only a restarted one comes back.
        ASSERT_TRUE(WaitFor(
            [&] {
                Pump();
                return bad.Answered() >= 4;
            },
            std::chrono::seconds(10)))
            << log.Since();
        EXPECT_GE(log.Count("network restarts in"), 2u) << log.Since();
    }
    broker.Start();
    ASSERT_TRUE(WaitFor(
        [&] {
            Pump();
            return mqtt->Connected();
        },
        std::chrono::seconds(10)))
        << log.Since();
    subscriber = std::make_unique<Subscriber>(broker.Port());
    ASSERT_TRUE(WaitFor([&] { return subscriber->Subscribed(); }));
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":7}})");
    ASSERT_TRUE(WaitFor([&] { return subscriber->Messages().size() == 1; }));
    EXPECT_EQ(mqtt->Connections(), 1u);
}

TEST_F(MqttTest, StopEndsPromptlyWhileTheNetworkThreadWaitsInAConnect) {
    subscriber.reset();  // its own reconnects would take the port's one free slot
    broker.Stop();
    InternetUp();  // refused: the network thread retries with blocking connects
    BlackHole hole(broker.Port());
    if (!hole.Filled())
        GTEST_SKIP() << "this kernel answers connection attempts beyond the accept queue";
    // The filler's attempt and the library's.
    ASSERT_TRUE(WaitFor([&] { return hole.Unanswered() >= 2; }, std::chrono::seconds(10)));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        mqtt->StopNetwork();
        stopped = true;
    });
    const bool prompt = WaitFor([&] { return stopped.load(); }, std::chrono::seconds(3));
    if (!prompt) {
        // The connect's end overwrote the stop request; repeat it until the thread ends.
        hole.Release();
        WaitFor(
            [&] {
                mqtt->disconnect();
                return stopped.load();
            },
            std::chrono::seconds(60));
    }
    stopper.join();
    EXPECT_TRUE(prompt);
}

TEST_F(MqttTest, Qos1ReadingsAreHeldWhileTheBrokerIsAwayUpToMaxQueuedAndTheRestCounted) {
    Restart([](NVRAM& n) {
        n.mqtt_qos = 1;
        n.mqtt_max_queued = 3;
    });
    InternetUp();
    ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    subscriber.reset();
    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return !mqtt->Connected(); }));
    LogCapture log;
    for (int ts = 1; ts <= 5; ++ts)
        Event("sensor",
              R"({"device_id":"A","sensor_type":"AT","data":{"ts":)" + std::to_string(ts) + "}}");
    EXPECT_EQ(mqtt->Held(), 3);
    EXPECT_EQ(mqtt->Lost(), 2u);
    EXPECT_EQ(log.Count("Publish Error : max_queued"), 1u) << log.Since();

    // The subscriber is back first; the library's next try comes a second later at the soonest.
    broker.Start();
    subscriber = std::make_unique<Subscriber>(broker.Port());
    ASSERT_TRUE(WaitFor([&] { return subscriber->Subscribed(); }));
    ASSERT_TRUE(
        WaitFor([&] { return subscriber->Messages().size() == 3; }, std::chrono::seconds(15)));
    EXPECT_EQ(subscriber->Messages()[2].payload, R"({"ts":3})");
    ASSERT_TRUE(WaitFor([&] { return mqtt->Held() == 0; }));
    Event("sensor", R"({"device_id":"A","sensor_type":"AT","data":{"ts":6}})");
    EXPECT_TRUE(log.Contains("2 readings lost")) << log.Since();
}

// The delay before a network thread that ended on a bad answer is started again doubles up to
// a minute and starts over once a connection is accepted; the clock is stepped, not waited out.
TEST_F(MqttTest, NetworkRestartsWaitForTheirDelayWhichDoublesUpToAMinuteAndResetsOnConnect) {
    subscriber.reset();
    broker.Stop();
    Restart([](NVRAM&) {}, std::chrono::seconds(1), clock);
    LogCapture log;
    auto restarts = [&] { return log.Count("Restarting the MQTT network thread"); };
    {
        BadBroker bad(broker.Port());
        ASSERT_TRUE(bad.Listening());
        InternetUp();
        std::size_t done = 0;
        std::map<int, std::size_t> seen;
        for (int ms : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
            const std::string line = "network restarts in " + std::to_string(ms) + " ms";
            const std::size_t count = ++seen[ms];
            ASSERT_TRUE(WaitFor([&] { return log.Count(line) >= count; }, std::chrono::seconds(10)))
                << log.Since();
            Pump();
            EXPECT_EQ(restarts(), done);  // not before the clock says so
            clock.Advance(std::chrono::milliseconds(ms - 1));
            Pump();
            clock.Advance(std::chrono::milliseconds(1));
            ASSERT_TRUE(WaitFor([&] {
                Pump();
                return restarts() == done + 1;
            })) << log.Since();
            ++done;
        }
        ASSERT_TRUE(WaitFor([&] { return log.Count("network restarts in 60000 ms") == 3; },
                            std::chrono::seconds(10)));
    }
    broker.Start();
    clock.Advance(std::chrono::seconds(60));
    ASSERT_TRUE(WaitFor(
        [&] {
            Pump();
            return mqtt->Connected();
        },
        std::chrono::seconds(10)))
        << log.Since();
    broker.Stop();
    BadBroker bad(broker.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Count("network restarts in 1000 ms") == 2; },
                        std::chrono::seconds(10)))
        << log.Since();
}

TEST_F(MqttTest, BrokersThatNeverAnswerOrCloseAtOnceGetOneLineEachAndAreTriedAgain) {
    subscriber.reset();
    broker.Stop();
    Restart([](NVRAM& n) { n.mqtt_keepalive = 5; });
    LogCapture log;
    {
        MuteBroker mute(broker.Port(), false);
        ASSERT_TRUE(mute.Listening());
        InternetUp();
        ASSERT_TRUE(WaitFor([&] { return log.Contains("Broker sent no CONNACK within 5 s"); },
                            std::chrono::seconds(15)))
            << log.Since();
        EXPECT_EQ(mute.Accepted(), 1);
    }
    MuteBroker closing(broker.Port(), true);
    ASSERT_TRUE(closing.Listening());
    // The library's tries come 1 s, then 4 s apart.
    ASSERT_TRUE(
        WaitFor([&] { return log.Count("Broker closed the connection before its CONNACK") == 1; },
                std::chrono::seconds(10)))
        << log.Since();
    EXPECT_EQ(closing.Accepted(), 1);
    EXPECT_FALSE(mqtt->Connected());
}

}  // namespace
