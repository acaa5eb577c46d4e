#include "http_post.h"

#include <memory>

#include "http_curl.h"
#include "log.h"

namespace http {

namespace {

struct Body {
    std::string text;
    std::size_t max;
    bool over = false;
};

size_t Collect(char* data, size_t size, size_t count, void* userdata) {
    auto* body = static_cast<Body*>(userdata);
    const size_t n = size * count;
    if (n > body->max - body->text.size()) {
        body->text.append(data, body->max - body->text.size());
        body->over = true;
        return 0;  // libcurl stops the transfer with a write error
    }
    body->text.append(data, n);
    return n;
}

struct SListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

Response Failure(CURLcode code, const char* detail) {
    Response r;
    r.code = static_cast<int>(code);
    r.text = curl_easy_strerror(code);
    if (detail != nullptr && detail[0] != '\0')
        r.text += std::string(" (") + detail + ")";
    return r;
}

}  // namespace

Response HttpPost(const std::string& url, const std::vector<std::string>& headers,
                  const std::string& body, const PostOptions& options) {
    Easy curl = NewEasy();
    if (!curl)
        return Failure(CURLE_FAILED_INIT, nullptr);

    std::unique_ptr<curl_slist, SListFree> list;
    for (const auto& h : headers) {
        curl_slist* next = curl_slist_append(list.get(), h.c_str());
        if (next == nullptr)
            return Failure(CURLE_OUT_OF_MEMORY, nullptr);
        list.release();
        list.reset(next);
    }

    Body received{std::string(), options.max_body};
    char detail[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    CURLcode rc = SetTransferOptions(c, options, detail);
    auto set = [&rc](CURLcode r) {
        if (rc == CURLE_OK)
            rc = r;
    };
    set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect));
    set(curl_easy_setopt(c, CURLOPT_WRITEDATA, &received));
    set(curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get()));
    set(curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "POST"));
    set(curl_easy_setopt(c, CURLOPT_URL, url.c_str()));
    set(curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
    set(curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str()));
    set(curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 7200L));
    if (rc != CURLE_OK)
        return Failure(rc, detail);

    rc = curl_easy_perform(c);
    long status = 0;
    const CURLcode info = curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (received.over) {
        // The status is what the callers go by; the start of the body is kept for the log.
        LOGW << "Answer ( " << status << " ) stopped : body over " << options.max_body << " bytes";
        if (info == CURLE_OK && status > 0)
            rc = CURLE_OK;
    }
    if (rc == CURLE_OK)
        rc = info;
    if (rc != CURLE_OK) {
        Response r = Failure(rc, detail);
        if (info == CURLE_OK)
            r.status = static_cast<int>(status);
        return r;
    }

    Response r;
    r.code = static_cast<int>(status);
    r.status = r.code;
    r.text = std::move(received.text);
    return r;
}

}  // namespace http
