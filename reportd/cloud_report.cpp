#include "cloud_report.h"

#include <cstdio>

#include "log.h"

namespace {

std::string Format(const char* fmt, int code, const std::string& text) {
    const int n = std::snprintf(nullptr, 0, fmt, code, text.c_str());
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, code, text.c_str());
    return out;
}

http::Response Post(const std::string& target, const std::string& token, const std::string& body,
                    const PostFn& post, const std::string& key = std::string()) {
    std::vector<std::string> headers = {
        "cache-control: no-cache",
        "Content-Type: application/json",
        "Authorization: Bearer " + token,
    };
    if (!key.empty())
        headers.push_back("Idempotency-Key: " + key);
    return post(target, headers, body);
}

// The log lines for an answer that is not a success.
void LogFailure(const http::Response& r) {
    if (r.code >= 400) {
        LOGE << Format("Server Error ( %d ) : %s", r.code, logging::Quote(r.text));
    } else if (r.code == 6) {
        LOGW << "Couldn't resolve host.";
    } else if (r.code == 7) {
        LOGW << "Failed to connect() to host.";
    } else if (r.code < 100) {
        // Time-outs, TLS failures (an unknown CA) and the like: say which.
        LOGE << Format("Request Error ( %d ) : %s", r.code, r.text);
    } else {
        LOGW << "Unexpected answer ( " << r.code << " )";
    }
}

}  // namespace

Delivery ClassifyResponse(int code) {
    if (code >= 200 && code <= 299)
        return Delivery::kDelivered;
    // Only an answer about the request itself throws the samples away: a wrong path, a
    // proxy's error page or a missing token must not lose data.
    switch (code) {
        case 400:
        case 413:
        case 415:
        case 422:
            return Delivery::kRefused;
        default:
            return Delivery::kRetry;
    }
}

namespace {

// A success status that arrived before the exchange broke off (a stalled or reset answer body)
// still means that the server has taken the content; sending it again would repeat it.
bool SuccessCutShort(const http::Response& r) {
    return r.code < 100 && ClassifyResponse(r.status) == Delivery::kDelivered;
}

}  // namespace

Delivery ReportSensorData(const std::string& url, const std::string& token, const std::string& body,
                          const PostFn& post, const std::string& key) {
    const http::Response r = Post(url + "/gateways/report", token, body, post, key);
    if (SuccessCutShort(r)) {
        LOGW << "Answer ( " << r.status << " ) cut short : " << logging::Quote(r.text);
        return Delivery::kDelivered;
    }
    const Delivery d = ClassifyResponse(r.code);
    if (d == Delivery::kDelivered) {
        LOGV << logging::Quote(r.text);
    } else {
        LogFailure(r);
    }
    return d;
}

Delivery ReportHeartBeat(const std::string& url, const std::string& token, const std::string& body,
                         const PostFn& post) {
    const http::Response r = Post(url + "/gateways/hb", token, body, post);
    if (SuccessCutShort(r))
        return Delivery::kDelivered;
    const Delivery d = ClassifyResponse(r.code);
    if (d != Delivery::kDelivered)
        LogFailure(r);
    return d;
}
