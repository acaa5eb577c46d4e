#include "http_post.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "wait_for.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A plain HTTP/1.1 server on a loopback port that answers each request with a fixed status,
// never answers, or stops half-way through its answer's body.
class TinyServer {
  public:
    enum Mode { kAnswer, kSilent, kCutShort };

    TinyServer(int status, std::string body, Mode mode = kAnswer)
        : status_(status), body_(std::move(body)), mode_(mode) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(fd_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TinyServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/path"; }
    std::string Request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

  private:
    bool Readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 20) > 0;
    }

    void Serve() {
        while (!stop_) {
            if (!Readable(fd_))
                continue;
            int c = accept(fd_, nullptr, nullptr);
            std::string in;
            char buf[4096];
            while (!stop_) {
                if (!Readable(c))
                    continue;
                ssize_t n = read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                in.append(buf, static_cast<std::size_t>(n));
                auto end = in.find("\r\n\r\n");
                if (end == std::string::npos)
                    continue;
                auto cl = in.find("Content-Length: ");
                std::size_t want = cl == std::string::npos ? 0 : std::stoul(in.substr(cl + 16));
                if (in.size() >= end + 4 + want)
                    break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                request_ = in;
            }
            if (mode_ != kSilent) {
                // Cut short: the length promises more than is sent.
                const std::size_t length = body_.size() + (mode_ == kCutShort ? 100 : 0);
                std::string out = "HTTP/1.1 " + std::to_string(status_) +
                                  " X\r\nContent-Length: " + std::to_string(length) +
                                  "\r\nConnection: close\r\n\r\n" + body_;
                // The client may hang up before reading it all (a body over its bound).
                (void)!send(c, out.data(), out.size(), MSG_NOSIGNAL);
            }
            if (mode_ != kAnswer) {
                while (!stop_)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            close(c);
        }
    }

    int status_;
    std::string body_;
    Mode mode_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::string request_;
};

TEST(HttpPostTest, PostsBodyWithHeadersInOrderAndReturnsStatusAndText) {
    TinyServer server(201, "created");
    auto r = http::HttpPost(
        server.Url(),
        {"cache-control: no-cache", "Content-Type: application/json", "Authorization: Bearer t0k"},
        R"({"a":1})");
    EXPECT_EQ(r.code, 201);
    EXPECT_EQ(r.text, "created");
    const std::string req = server.Request();
    EXPECT_EQ(req.rfind("POST /path HTTP/1.1\r\n", 0), 0u) << req;
    const auto a = req.find("cache-control: no-cache\r\n");
    const auto b = req.find("Content-Type: application/json\r\n");
    const auto c = req.find("Authorization: Bearer t0k\r\n");
    ASSERT_NE(a, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(c, std::string::npos);
    EXPECT_EQ(req.substr(req.size() - 7), R"({"a":1})");
}

TEST(HttpPostTest, ServerErrorsComeBackAsTheirStatus) {
    TinyServer server(503, "later");
    auto r = http::HttpPost(server.Url(), {}, "x");
    EXPECT_EQ(r.code, 503);
    EXPECT_EQ(r.text, "later");
}

TEST(HttpPostTest, ABodyOverTheBoundIsStoppedThereAndTheStatusKept) {
    testing_support::LogCapture::Init("http_post_test.log");
    TinyServer server(500, std::string(20u << 20, 'e'));
    testing_support::LogCapture log;
    auto r = http::HttpPost(server.Url(), {}, "{}");
    EXPECT_EQ(r.code, 500);
    EXPECT_EQ(r.text, std::string(4096, 'e'));
    EXPECT_EQ(log.Count("Answer ( 500 ) stopped : body over 4096 bytes"), 1u) << log.Since();

    TinyServer small(200, std::string(5000, 'o'));
    http::PostOptions options;
    options.max_body = 5000;
    r = http::HttpPost(small.Url(), {}, "{}", options);
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.text.size(), 5000u);
}

TEST(HttpPostTest, RefusedConnectionIsLibcurlCodeSeven) {
    int port;
    {
        TinyServer gone(200, "");
        port = std::stoi(gone.Url().substr(17));
    }
    auto r = http::HttpPost("http://127.0.0.1:" + std::to_string(port) + "/", {}, "x");
    EXPECT_EQ(r.code, 7);
    EXPECT_FALSE(r.text.empty());
}

TEST(HttpPostTest, SilentServerTimesOut) {
    TinyServer server(200, "", TinyServer::kSilent);
    http::PostOptions o;
    o.timeout_seconds = 1;
    auto r = http::HttpPost(server.Url(), {}, "x", o);
    EXPECT_EQ(r.code, 28);
}

TEST(HttpPostTest, StatusSentBeforeTheExchangeBrokeOffIsReported) {
    TinyServer server(200, "{\"ok\"", TinyServer::kCutShort);
    http::PostOptions o;
    o.timeout_seconds = 1;
    auto r = http::HttpPost(server.Url(), {}, "x", o);
    EXPECT_EQ(r.code, 28);
    EXPECT_EQ(r.status, 200);

    TinyServer silent(200, "", TinyServer::kSilent);
    r = http::HttpPost(silent.Url(), {}, "x", o);
    EXPECT_EQ(r.code, 28);
    EXPECT_EQ(r.status, 0);
}

TEST(HttpPostTest, ClearingKeepGoingAbandonsTheExchange) {
    TinyServer server(200, "", TinyServer::kSilent);
    std::atomic<bool> keepGoing{true};
    http::PostOptions o;
    o.keep_going = &keepGoing;
    // Stop once the request is on the server, as a shutdown during a slow POST would.
    std::thread stopper([&] {
        testing_support::WaitFor([&] { return !server.Request().empty(); });
        keepGoing = false;
    });
    const auto start = std::chrono::steady_clock::now();
    auto r = http::HttpPost(server.Url(), {}, "x", o);
    stopper.join();
    EXPECT_EQ(r.code, 42);  // aborted by callback, long before the 30 s time-out
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
