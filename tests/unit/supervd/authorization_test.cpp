#include "authorization.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "fakes.h"
#include "log_capture.h"
#include "manager.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using supervd_test::FakeRc;
using testing_support::LogCapture;
using testing_support::WaitFor;

namespace {

// Stands in for the cloud: records every POST; answers from a queue per path, else a default.
class FakeCloud {
  public:
    struct Request {
        std::string path;
        std::vector<std::string> headers;
        std::string body;
    };

    supervd::PostFn Post() {
        return [this](const std::string& url, const std::vector<std::string>& headers,
                      const std::string& body) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string path = url.substr(url.find("/auth_device"));
            requests_.push_back({path, headers, body});
            auto& queued = answers_[path];
            if (!queued.empty()) {
                http::Response r = queued.front();
                queued.erase(queued.begin());
                return r;
            }
            return defaults_.count(path) ? defaults_[path] : http::Response{404, "no"};
        };
    }
    void Queue(const std::string& path, http::Response r) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[path].push_back(std::move(r));
    }
    void Default(const std::string& path, http::Response r) {
        std::lock_guard<std::mutex> lock(mutex_);
        defaults_[path] = std::move(r);
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::size_t Count() { return Requests().size(); }

  private:
    std::mutex mutex_;
    std::vector<Request> requests_;
    std::map<std::string, std::vector<http::Response>> answers_;
    std::map<std::string, http::Response> defaults_;
};

const http::Response kCode{200, R"({"code":"ABCD-2345"})"};
const http::Response kPending{400, R"({"error":"authorization_pending"})"};
const http::Response kTokens{201, R"({"access_token":"AT","resfresh_token":"RT"})"};

class AuthorizationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("supervd_test.log"); }
    FakeCloud cloud;
};

TEST_F(AuthorizationTest, FormFieldsAreEncodedSoThatEveryValueArrivesAsWritten) {
    EXPECT_EQ(supervd::FormEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(supervd::FormEncode("a&b=c+d e/%\xc3\xa9"), "a%26b%3Dc%2Bd%20e%2F%25%C3%A9");

    cloud.Queue("/auth_device/verify", kTokens);
    supervd::AuthenticationVerify("https://c", "GW 1", "AB+CD", "id&x", "s+cr&t=", cloud.Post());
    const auto r = cloud.Requests().at(0);
    EXPECT_EQ(r.body, "device_id=GW%201&code=AB%2BCD&client_id=id%26x&client_secret=s%2Bcr%26t%3D");
    EXPECT_EQ(r.headers,
              (std::vector<std::string>{"cache-control: no-cache", "Accept: application/json",
                                        "Content-Type: application/x-www-form-urlencoded"}));
}

TEST_F(AuthorizationTest, RequestTakesTheCodeOfA2xxAnswerOnly) {
    cloud.Queue("/auth_device/request", kCode);
    cloud.Queue("/auth_device/request", {500, "busy"});
    cloud.Queue("/auth_device/request", {200, "<html>"});
    cloud.Queue("/auth_device/request", {200, R"({"code":5})"});
    cloud.Queue("/auth_device/request", {7, "Couldn't connect to server"});
    const auto post = cloud.Post();
    EXPECT_EQ(supervd::AuthenticationRequest("https://c", "GW1", post),
              std::make_tuple(true, std::string("ABCD-2345")));
    EXPECT_EQ(cloud.Requests()[0].body, "device_id=GW1");
    EXPECT_EQ(std::get<0>(supervd::AuthenticationRequest("https://c", "GW1", post)), false);
    LogCapture log;
    EXPECT_EQ(std::get<0>(supervd::AuthenticationRequest("https://c", "GW1", post)), false);
    EXPECT_EQ(std::get<0>(supervd::AuthenticationRequest("https://c", "GW1", post)), false);
    EXPECT_EQ(log.Count("jSON Parsing Error : "), 2u);
    EXPECT_EQ(supervd::AuthenticationRequest("https://c", "GW1", post),
              std::make_tuple(false, std::string()));
}

TEST_F(AuthorizationTest, VerifySucceedsOn201Only) {
    const auto post = cloud.Post();
    auto verify = [&] {
        return supervd::AuthenticationVerify("https://c", "G", "C", "I", "S", post);
    };
    cloud.Queue("/auth_device/verify", {200, R"({"access_token":"A","resfresh_token":"R"})"});
    EXPECT_EQ(std::get<0>(verify()), 0);
    cloud.Queue("/auth_device/verify", kTokens);
    EXPECT_EQ(verify(), std::make_tuple(1, std::string("AT"), std::string("RT")));
    LogCapture log;
    cloud.Queue("/auth_device/verify", {201, "not json"});
    EXPECT_EQ(verify(), std::make_tuple(0, std::string(), std::string()));
    EXPECT_EQ(log.Count("JSON Parse Error : "), 1u);
    EXPECT_EQ(cloud.Requests().back().path, "/auth_device/verify");
}

class ExchangeTest : public AuthorizationTest {
  protected:
    supervd::Authorizer::Request Request() {
        supervd::Authorizer::Request r;
        r.url = "https://cloud";
        r.device_id = "GW1";
        r.client_id = "id";
        r.client_secret = "secret";
        r.retry = 30s;
        r.tries = 20;
        return r;
    }
    // Steps the clock until `done` holds; the exchange waits 30 s between tries.
    bool StepUntil(const std::function<bool()>& done) {
        return WaitFor(
            [&] {
                if (done())
                    return true;
                time.Advance(1s);
                return false;
            },
            10s);
    }

    timer::ManualTime time;
    FakeRc rc;
    std::mutex stored_mutex;
    std::vector<std::pair<std::string, std::string>> stored;
    supervd::Authorizer authorizer{cloud.Post(),
                                   [this](const std::string& a, const std::string& r) {
                                       std::lock_guard<std::mutex> lock(stored_mutex);
                                       stored.emplace_back(a, r);
                                       return true;
                                   },
                                   rc.Fn(), time};
};

TEST_F(ExchangeTest, CodeLoggedThenVerifiedUntil201TokensStoredReadersRestarted) {
    LogCapture log;
    cloud.Queue("/auth_device/request", kCode);
    cloud.Queue("/auth_device/verify", kPending);
    cloud.Queue("/auth_device/verify", kPending);
    cloud.Queue("/auth_device/verify", kTokens);
    authorizer.Begin(Request());
    ASSERT_TRUE(log.WaitFor("Device authorization code : ABCD-2345"));
    ASSERT_TRUE(StepUntil([&] { return authorizer.Done() && !authorizer.Running(); }));
    EXPECT_EQ(cloud.Count(), 4u);
    EXPECT_EQ(stored, (std::vector<std::pair<std::string, std::string>>{{"AT", "RT"}}));
    EXPECT_EQ(rc.Calls(), (std::vector<std::string>{"reportd restart", "wsbridge restart"}));
    authorizer.Begin(Request());  // done: nothing more
    EXPECT_FALSE(authorizer.Running());
}

TEST_F(ExchangeTest, GivesUpAfterTwentyTriesAndTriesAgainOnTheNextBegin) {
    LogCapture log;
    cloud.Default("/auth_device/request", kCode);
    cloud.Default("/auth_device/verify", kPending);
    authorizer.Begin(Request());
    ASSERT_TRUE(StepUntil([&] { return !authorizer.Running(); }));
    EXPECT_EQ(cloud.Count(), 20u);
    EXPECT_TRUE(log.Contains("gave up after 20 tries"));
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(rc.Count(), 0u);

    authorizer.Begin(Request());
    ASSERT_TRUE(WaitFor([&] { return cloud.Count() == 21; }));
    EXPECT_EQ(cloud.Requests().back().path, "/auth_device/request") << "a new code";
    authorizer.End();
}

TEST_F(ExchangeTest, CancelEndsTheExchangeDuringItsPause) {
    cloud.Default("/auth_device/request", kCode);
    cloud.Default("/auth_device/verify", kPending);
    authorizer.Begin(Request());
    ASSERT_TRUE(WaitFor([&] { return cloud.Count() == 1; }));
    authorizer.Cancel();
    EXPECT_TRUE(WaitFor([&] { return !authorizer.Running(); }));
    EXPECT_EQ(cloud.Count(), 1u);
}

// The supervisor runs the exchange once the internet comes up, when a client is configured
// but no access token is stored.
class ManagerAuthorizationTest : public AuthorizationTest {
  protected:
    std::unique_ptr<Manager> Make(const std::string& token, const std::string& secret) {
        auto nvram = std::make_unique<NVRAM>();
        nvram->url = "https://cloud";
        nvram->device_id = "GW1";
        nvram->access_token = token;
        nvram->client_id = "id";
        nvram->client_secret = secret;
        Outside outside;
        outside.send_event = [](const char*, const std::string&) { return true; };
        outside.service = rc.Fn();
        outside.post = cloud.Post();
        outside.store_tokens = [](const std::string&, const std::string&) { return true; };
        return std::make_unique<Manager>(std::move(nvram), Settings(), time, outside);
    }
    void Internet(Manager& m, bool up) {
        m.Queue().Push(
            mailbox::Message(up ? mailbox::kInternetConnected : mailbox::kInternetDisconnected));
        m.Pass();
    }

    timer::ManualTime time;
    FakeRc rc;
};

TEST_F(ManagerAuthorizationTest, StartsOncePerInternetUpAndStopsWhenItGoesDown) {
    cloud.Default("/auth_device/request", kCode);
    cloud.Default("/auth_device/verify", kPending);
    auto m = Make("", "secret");
    Internet(*m, true);
    ASSERT_TRUE(WaitFor([&] { return cloud.Count() == 1; }));
    Internet(*m, true);  // the check repeats "up" every period: no second exchange
    Internet(*m, false);
    ASSERT_TRUE(WaitFor([&] { return !m->Authorization().Running(); }));
    EXPECT_EQ(cloud.Count(), 1u);
    Internet(*m, true);
    ASSERT_TRUE(WaitFor([&] { return cloud.Count() == 2; }));
    EXPECT_EQ(cloud.Requests()[1].path, "/auth_device/request");
}

TEST_F(ManagerAuthorizationTest, NothingToDoWithATokenOrWithoutAClient) {
    auto withToken = Make("token", "secret");
    Internet(*withToken, true);
    auto noSecret = Make("", "");
    Internet(*noSecret, true);
    EXPECT_FALSE(withToken->Authorization().Running());
    EXPECT_FALSE(noSecret->Authorization().Running());
    EXPECT_EQ(cloud.Count(), 0u);
}

}  // namespace
