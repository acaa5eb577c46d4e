#include "static_address.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "log_capture.h"

using testing_support::LogCapture;

namespace {

// The controller's answer to the vendor command: address ab:cd:ef:12:34:56 (sent least
// significant byte first) and the bytes 00..0f after it.
std::vector<uint8_t> ExampleReply() {
    std::vector<uint8_t> r{0x04, 0x0e, 0x1b, 0x01, 0x09, 0xfc, 0x00,
                           0x01, 0x56, 0x34, 0x12, 0xef, 0xcd, 0xab};
    for (uint8_t i = 0; i < 16; ++i)
        r.push_back(i);
    return r;
}

constexpr const char* kExampleSerial = "000102030405060708090a0b0c0d0e0f";

class FakeLink : public hci::Link {
  public:
    bool Open() override {
        ++opens;
        open = open_ok;
        return open_ok;
    }
    bool SetEventFilter() override { return filter_ok; }
    bool Send(uint16_t g, uint16_t c, const std::vector<uint8_t>& p) override {
        ogf = g;
        ocf = c;
        params = p;
        return send_ok;
    }
    std::optional<std::vector<uint8_t>> Read(std::chrono::milliseconds t) override {
        timeout = t;
        return reply;
    }
    void Close() override {
        if (open)
            ++closes;
        open = false;
    }

    bool open_ok = true;
    bool filter_ok = true;
    bool send_ok = true;
    std::optional<std::vector<uint8_t>> reply = ExampleReply();

    int opens = 0;
    int closes = 0;
    bool open = false;
    uint16_t ogf = 0;
    uint16_t ocf = 0;
    std::vector<uint8_t> params;
    std::chrono::milliseconds timeout{0};
};

class StaticAddressTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("provd_static_address_test.log"); }

    // Reads through the fake; the texts keep "untouched" when it fails.
    bool Read() {
        address = "untouched";
        serial = "untouched";
        return ReadStaticAddress(link, address, serial);
    }

    FakeLink link;
    std::string address;
    std::string serial;
};

TEST_F(StaticAddressTest, ExampleReplyGivesTheAddressMostSignificantByteFirst) {
    ASSERT_TRUE(Read());
    EXPECT_EQ(address, "abcdef123456");
    EXPECT_EQ(serial, kExampleSerial);
    EXPECT_EQ(link.ogf, 0x3f);
    EXPECT_EQ(link.ocf, 0x0009);
    EXPECT_EQ(link.params, std::vector<uint8_t>(4, 0));
    EXPECT_EQ(link.timeout, std::chrono::seconds(5));
    EXPECT_EQ(link.closes, 1);
}

TEST_F(StaticAddressTest, EachFailingStepLogsAndClosesWhatItOpened) {
    struct Case {
        const char* log;
        void (*set)(FakeLink&);
        int closes;
    };
    const Case cases[] = {
        {"Device Open Failed", [](FakeLink& l) { l.open_ok = false; }, 0},
        {"HCI Filter setup failed", [](FakeLink& l) { l.filter_ok = false; }, 1},
        {"Send failed", [](FakeLink& l) { l.send_ok = false; }, 1},
        {"Read failed", [](FakeLink& l) { l.reply.reset(); }, 1},
    };
    for (const auto& c : cases) {
        link = FakeLink();
        c.set(link);
        LogCapture log;
        EXPECT_FALSE(Read()) << c.log;
        EXPECT_TRUE(log.Contains(c.log)) << c.log;
        EXPECT_EQ(link.closes, c.closes) << c.log;
        EXPECT_EQ(address, "untouched");
        EXPECT_EQ(serial, "untouched");
    }
}

// Replies that are not the answer to this command: refused without a log line.
TEST_F(StaticAddressTest, AnotherEventIsNoAnswer) {
    struct Case {
        const char* what;
        std::size_t offset;
        uint8_t value;
    };
    const Case cases[] = {
        {"ACL data packet", 0, 0x02},        {"command status event", 1, 0x0f},
        {"two commands allowed", 3, 0x02},   {"reset completed", 4, 0x03},
        {"read BD_ADDR completed", 5, 0x10},
    };
    for (const auto& c : cases) {
        link.reply = ExampleReply();
        (*link.reply)[c.offset] = c.value;
        LogCapture log;
        EXPECT_FALSE(Read()) << c.what;
        EXPECT_FALSE(log.Contains("ERROR")) << c.what << ": " << log.Since();
        EXPECT_EQ(address, "untouched") << c.what;
    }
}

TEST_F(StaticAddressTest, FailedOrShortAnswersAreRefusedWithAReason) {
    struct Case {
        const char* what;
        std::vector<uint8_t> reply;
        const char* log;
    };
    auto with = [](std::size_t offset, uint8_t value) {
        auto r = ExampleReply();
        r[offset] = value;
        return r;
    };
    auto cut = [](std::size_t size) {
        auto r = ExampleReply();
        r.resize(size);
        return r;
    };
    const Case cases[] = {
        {"status unknown command", with(6, 0x01), "status 0x01"},
        {"no address bytes", cut(7), "Short reply : 7 bytes"},
        {"address without serial", cut(14), "Short reply : 14 bytes"},
        {"one byte missing", cut(29), "Short reply : 29 bytes"},
        {"length field short", with(2, 0x1a), "Short reply : 30 bytes"},
        {"no address", with(7, 0x00), "No static address"},
        {"nothing", {}, ""},
        {"header only", {0x04, 0x0e, 0x1b}, ""},
    };
    for (const auto& c : cases) {
        link.reply = c.reply;
        LogCapture log;
        EXPECT_FALSE(Read()) << c.what;
        EXPECT_TRUE(log.Contains(c.log)) << c.what << ": " << log.Since();
        EXPECT_EQ(address, "untouched") << c.what;
        EXPECT_EQ(serial, "untouched") << c.what;
    }
}

TEST_F(StaticAddressTest, BytesAfterTheSerialAreIgnored) {
    auto r = ExampleReply();
    r[2] = 0x21;  // a second address follows
    r.insert(r.end(), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    link.reply = r;
    ASSERT_TRUE(Read());
    EXPECT_EQ(address, "abcdef123456");
    EXPECT_EQ(serial, kExampleSerial);
}

#if HCI_SOCKET_LINK
// The host's link against a controller served on a Unix socket, as the BlueZ stand-in does.
class SocketControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogCapture::Init("provd_static_address_test.log");
        dir_ = std::filesystem::temp_directory_path() /
               ("provd-hci-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = dir_ + "/hci.sock";
        setenv("HALVEX_HCI_SOCKET", path_.c_str(), 1);
    }
    void TearDown() override {
        if (server_.joinable())
            server_.join();
        if (listener_ >= 0)
            close(listener_);
        unsetenv("HALVEX_HCI_SOCKET");
        std::filesystem::remove_all(dir_);
    }

    // Serves one connection: takes one packet, then sends `answers`, then waits for the
    // client to hang up.
    void Serve(std::vector<std::vector<uint8_t>> answers) {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_GE(listener_, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener_, 1), 0);
        server_ = std::thread([this, answers] {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            uint8_t buf[300];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                received_.assign(buf, buf + n);
            for (const auto& a : answers)
                send(fd, a.data(), a.size(), MSG_NOSIGNAL);
            while (recv(fd, buf, sizeof buf, 0) > 0) {
            }
            close(fd);
        });
    }

    std::string dir_;
    std::string path_;
    int listener_ = -1;
    std::thread server_;
    std::vector<uint8_t> received_;
};

TEST_F(SocketControllerTest, SendsTheCommandPacketAndReadsOnePacketPerMessage) {
    const std::vector<uint8_t> reset{0x04, 0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00};
    Serve({ExampleReply(), reset});
    std::string address;
    std::string serial;
    auto link = hci::MakeLink();
    ASSERT_TRUE(ReadStaticAddress(*link, address, serial));
    EXPECT_EQ(address, "abcdef123456");
    EXPECT_EQ(serial, kExampleSerial);
    server_.join();
    EXPECT_EQ(received_, (std::vector<uint8_t>{0x01, 0x09, 0xfc, 0x04, 0, 0, 0, 0}));
}

TEST_F(SocketControllerTest, AnEarlierEventIsTheOneRead) {
    Serve({{0x04, 0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00}, ExampleReply()});
    std::string address;
    std::string serial;
    auto link = hci::MakeLink();
    EXPECT_FALSE(ReadStaticAddress(*link, address, serial));
}

TEST_F(SocketControllerTest, SilenceEndsAtTheTimeOut) {
    Serve({});
    std::string address;
    std::string serial;
    auto link = hci::MakeLink();
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadStaticAddress(*link, address, serial, std::chrono::milliseconds(200)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_TRUE(log.Contains("Read failed"));
}

TEST_F(SocketControllerTest, NoControllerIsAnOpenFailure) {
    std::string address;
    std::string serial;
    auto link = hci::MakeLink();
    LogCapture log;
    EXPECT_FALSE(ReadStaticAddress(*link, address, serial));
    EXPECT_TRUE(log.Contains("Device Open Failed"));
}
#endif

}  // namespace
