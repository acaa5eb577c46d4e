#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "http_post.h"
#include "semaphore.h"
#include "service_control.h"
#include "time_source.h"

namespace supervd {

// One POST: (url, headers, body) -> answer. HttpPost with the daemon's TLS settings, or a fake.
using PostFn = std::function<http::Response(
    const std::string& url, const std::vector<std::string>& headers, const std::string& body)>;

// A form value as application/x-www-form-urlencoded wants it: everything but letters, digits
// and "-._~" as %XX.
std::string FormEncode(const std::string& value);

// POST url + "/auth_device/request": (true, code) on a 2xx with a text "code".
std::tuple<bool, std::string> AuthenticationRequest(const std::string& url,
                                                    const std::string& device_id,
                                                    const PostFn& post);
// POST url + "/auth_device/verify": (1, access token, refresh token) on 201 only.
std::tuple<int, std::string, std::string> AuthenticationVerify(
    const std::string& url, const std::string& device_id, const std::string& code,
    const std::string& client_id, const std::string& client_secret, const PostFn& post);

// The device authorization exchange on a thread of its own: a code is requested and logged for
// the person installing the gateway, then the verify step is tried every `retry` until the
// cloud answers 201, at most `tries` calls in all; the tokens are stored and the services that
// read them restarted.
class Authorizer {
  public:
    struct Request {
        std::string url;
        std::string device_id;
        std::string client_id;
        std::string client_secret;
        std::chrono::seconds retry{30};
        int tries = 20;
    };
    // Stores both tokens in "auth" (set and commit); true when they are committed.
    using StoreFn = std::function<bool(const std::string& access, const std::string& refresh)>;
    static constexpr const char* kTokenReaders[] = {"reportd", "wsbridge"};

    Authorizer(PostFn post, StoreFn store, ServiceFn service,
               timer::TimeSource& time = timer::SteadyTime());
    Authorizer(const Authorizer&) = delete;
    Authorizer& operator=(const Authorizer&) = delete;
    virtual ~Authorizer();

    // Starts an exchange unless one runs or the tokens are stored (main thread).
    void Begin(Request request);
    // Asks the exchange under way to end after its current call; does not wait.
    void Cancel();
    // Cancels and waits for the exchange to end.
    void End();
    bool Running() const { return running_.load(); }
    bool Done() const { return done_.load(); }
    // The flag an HTTP exchange of this authorizer watches: false aborts it.
    const std::atomic<bool>* KeepGoing() const { return &keep_going_; }

  private:
    void Exchange(Request request);
    bool Pause(std::chrono::seconds duration);

    PostFn post_;
    StoreFn store_;
    ServiceFn service_;
    timer::TimeSource& time_;
    std::atomic<bool> running_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> keep_going_{true};
    mutex::Semaphore wake_;
    std::thread thread_;
};

}  // namespace supervd
