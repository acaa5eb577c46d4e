#include "authorization.h"

#include <nlohmann/json.hpp>

#include "json_error.h"
#include "log.h"

namespace supervd {

namespace {

const std::vector<std::string> kFormHeaders = {
    "cache-control: no-cache",
    "Accept: application/json",
    "Content-Type: application/x-www-form-urlencoded",
};

}  // namespace

std::string FormEncode(const std::string& value) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

std::tuple<bool, std::string> AuthenticationRequest(const std::string& url,
                                                    const std::string& device_id,
                                                    const PostFn& post) {
    const http::Response r =
        post(url + "/auth_device/request", kFormHeaders, "device_id=" + FormEncode(device_id));
    if (r.code < 200 || r.code > 299) {
        LOGE << "Authorization request failed ( " << r.code << " ) : " << logging::Quote(r.text);
        return {false, std::string()};
    }
    try {
        return {true, nlohmann::json::parse(r.text).at("code").get<std::string>()};
    } catch (const std::exception& e) {
        LOGE << "jSON Parsing Error : " << JsonErrorText(e);
        return {false, std::string()};
    }
}

std::tuple<int, std::string, std::string> AuthenticationVerify(
    const std::string& url, const std::string& device_id, const std::string& code,
    const std::string& client_id, const std::string& client_secret, const PostFn& post) {
    const std::string body = "device_id=" + FormEncode(device_id) + "&code=" + FormEncode(code) +
                             "&client_id=" + FormEncode(client_id) +
                             "&client_secret=" + FormEncode(client_secret);
    const http::Response r = post(url + "/auth_device/verify", kFormHeaders, body);
    if (r.code != 201) {
        LOGV << "verify ( " << r.code << " ) : " << logging::Quote(r.text);
        return {0, std::string(), std::string()};
    }
    try {
        const auto answer = nlohmann::json::parse(r.text);
        // The refresh token's member is spelled so on the wire.
        return {1, answer.at("access_token").get<std::string>(),
                answer.at("resfresh_token").get<std::string>()};
    } catch (const std::exception& e) {
        LOGE << "JSON Parse Error : " << JsonErrorText(e);
        return {0, std::string(), std::string()};
    }
}

Authorizer::Authorizer(PostFn post, StoreFn store, ServiceFn service, timer::TimeSource& time)
    : post_(std::move(post)), store_(std::move(store)), service_(std::move(service)), time_(time) {}

Authorizer::~Authorizer() {
    End();
}

void Authorizer::Begin(Request request) {
    if (done_.load() || (running_.load() && keep_going_.load()))
        return;
    if (thread_.joinable())
        thread_.join();  // the last exchange has ended, or is ending on a cancel
    keep_going_.store(true);
    running_.store(true);
    thread_ = std::thread(&Authorizer::Exchange, this, std::move(request));
}

void Authorizer::Cancel() {
    keep_going_.store(false);
    wake_.Signal();
}

void Authorizer::End() {
    Cancel();
    if (thread_.joinable())
        thread_.join();
}

bool Authorizer::Pause(std::chrono::seconds duration) {
    const auto deadline = time_.Now() + duration;
    while (keep_going_.load() && time_.Now() < deadline)
        time_.WaitUntil(wake_, deadline);
    return keep_going_.load();
}

void Authorizer::Exchange(Request request) {
    LOGI << "Device authorization for " << request.device_id;
    std::string code;
    int tries = 0;
    bool stored = false;
    while (keep_going_.load() && tries < request.tries) {
        if (tries > 0 && !Pause(request.retry))
            break;
        ++tries;
        if (code.empty()) {
            auto [ok, got] = AuthenticationRequest(request.url, request.device_id, post_);
            if (ok && !got.empty()) {
                code = got;
                LOGI << "Device authorization code : " << code << " (approve it for device "
                     << request.device_id << ")";
            }
            continue;
        }
        auto [ok, access, refresh] = AuthenticationVerify(
            request.url, request.device_id, code, request.client_id, request.client_secret, post_);
        if (ok != 1)
            continue;
        if (access.empty()) {
            LOGE << "Device authorization answered an empty access token";
            continue;
        }
        if (!store_(access, refresh)) {
            LOGE << "Device authorization: the tokens could not be stored";
            break;
        }
        stored = true;
        break;
    }
    if (stored) {
        done_.store(true);
        LOGI << "Device authorized; restarting the services that read the token";
        for (const char* name : kTokenReaders)
            service_(name, "restart");
    } else if (keep_going_.load()) {
        LOGW << "Device authorization gave up after " << tries << " tries";
    }
    running_.store(false);
}

}  // namespace supervd
