// The bridge's main-thread handlers, and its network thread's stop, without a cloud.

#include "websocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "log_capture.h"
#include "messages.h"
#include "private_bus.h"

using testing_support::LogCapture;
using testing_support::PrivateBus;

namespace {

// A TCP listener that accepts and never answers: a cloud that hangs in the handshake.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~SilentServer() {
        for (int fd : accepted_)
            close(fd);
        close(fd_);
    }
    int Port() const { return port_; }
    bool Accept(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        accepted_.push_back(accept(fd_, nullptr, nullptr));
        return true;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> accepted_;
};

class WebsocketTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("wsbridge_test.log"); }

    static std::unique_ptr<NVRAM> Settings(const std::string& url, const std::string& token) {
        auto nvram = std::make_unique<NVRAM>();
        nvram->url = url;
        nvram->host = UrlToHost(url);
        nvram->access_token = token;
        nvram->device_id = "GW0000000001";
        return nvram;
    }

    // Runs one pass of the bridge's main loop; returns the codes it handled.
    static std::vector<int32_t> Pass(Websocket& ws) {
        std::vector<int32_t> codes;
        const std::atomic<bool> running{true};
        ws.Loop().Pass(running, [&](mailbox::Message& m) {
            codes.push_back(m.code);
            ws.EvtMessageHandler(m);
        });
        return codes;
    }

    PrivateBus bus;
};

TEST_F(WebsocketTest, NodeListHoldsEachSensorOnceAndForgetsUnsubscribedOnes) {
    Websocket ws(Settings("https://127.0.0.1:9", "token"), {"A", "B", "A"});
    EXPECT_EQ(ws.Nodes(), (std::vector<std::string>{"A", "B"}));

    for (const char* event : {
             R"({"device_id":"C","device_type":"sensor","type":"subscribe"})",
             R"({"device_id":"C","device_type":"sensor","type":"subscribe"})",
             R"({"device_id":"A","device_type":"sensor","type":"subscribe"})",
             R"({"device_id":"B","device_type":"sensor","type":"unsubscribe"})",
             R"({"device_id":"D","device_type":"sensor","type":"unsubscribe"})",
             R"({"device_id":"C","folds":{"a":1},"type":"folds"})",  // our own relay
         }) {
        ws.UBUSWebsocketHandler(event);
    }
    EXPECT_EQ(Pass(ws), (std::vector<int32_t>{kSubscribe, kSubscribe, kSubscribe, kUnsubscribe,
                                              kUnsubscribe}));
    EXPECT_EQ(ws.Nodes(), (std::vector<std::string>{"A", "C"}));
}

TEST_F(WebsocketTest, ManagerEventsGiveTheirCodesInKeyOrder) {
    // No token: the Internet-up report opens nothing.
    Websocket ws(Settings("https://127.0.0.1:9", ""), {});
    ws.UBUSManagerHandler(R"({"evt":{"wlan":"up","internet":"up"}})");
    ws.UBUSManagerHandler(R"({"evt":{"internet":"down","wlan":"down"}})");
    EXPECT_EQ(Pass(ws),
              (std::vector<int32_t>{mailbox::kInternetConnected, mailbox::kWlanConnected,
                                    mailbox::kInternetDisconnected, mailbox::kWlanDisconnected}));
    EXPECT_FALSE(ws.Open());
}

TEST_F(WebsocketTest, StopCutsOffAHandshakeTheServerNeverAnswers) {
    SilentServer server;
    Websocket ws(Settings("https://127.0.0.1:" + std::to_string(server.Port()), "token"), {});
    EXPECT_FALSE(ws.Open());  // the internet is not up yet
    ws.UBUSManagerHandler(R"({"evt":{"internet":"up"}})");
    Pass(ws);
    ASSERT_TRUE(server.Accept(std::chrono::seconds(5)));
    EXPECT_TRUE(ws.Open());  // the handshake under way: nothing more is opened

    const auto start = std::chrono::steady_clock::now();
    ws.StopNetwork();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_FALSE(server.Accept(std::chrono::milliseconds(0)));
    EXPECT_FALSE(ws.Connected());
}

TEST_F(WebsocketTest, AUrlWithoutSchemeIsAHostAndPortAndAnUnreadableOneIsSaidOnce) {
    SilentServer server;
    {
        LogCapture log;
        Websocket ws(Settings("127.0.0.1:" + std::to_string(server.Port()), "token"), {});
        ws.UBUSManagerHandler(R"({"evt":{"internet":"up"}})");
        Pass(ws);
        EXPECT_TRUE(server.Accept(std::chrono::seconds(5)));
        EXPECT_FALSE(log.Contains("cannot be read")) << log.Since();
    }
    LogCapture log;
    Websocket ws(Settings("https://bad host/", "token"), {});
    EXPECT_EQ(log.Count("url https://bad host/ cannot be read : cloud.halvex.net used"), 1u)
        << log.Since();
}

}  // namespace
