#include "http_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace http {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* userdata) {
    static_cast<std::string*>(userdata)->append(data, size * count);
    return size * count;
}

// Called about once a second while idle; a non-zero answer aborts the transfer.
int Progress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* keepGoing = static_cast<const std::atomic<bool>*>(userdata);
    return keepGoing->load() ? 0 : 1;
}

struct SListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct EasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
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
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });

    std::unique_ptr<CURL, EasyFree> curl(curl_easy_init());
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

    std::string received;
    char detail[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode r) {
        if (rc == CURLE_OK)
            rc = r;
    };
    set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail));
    set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect));
    set(curl_easy_setopt(c, CURLOPT_WRITEDATA, &received));
    set(curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get()));
    set(curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "POST"));
    set(curl_easy_setopt(c, CURLOPT_URL, url.c_str()));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options.verify_tls ? 1L : 0L));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options.verify_tls ? 2L : 0L));
    if (!options.ca_file.empty())
        set(curl_easy_setopt(c, CURLOPT_CAINFO, options.ca_file.c_str()));
    set(curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
    set(curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str()));
    set(curl_easy_setopt(c, CURLOPT_TIMEOUT, options.timeout_seconds));
    set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 7200L));
    if (options.keep_going != nullptr) {
        set(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress));
        set(curl_easy_setopt(c, CURLOPT_XFERINFODATA, options.keep_going));
        set(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L));
    }
    if (rc != CURLE_OK)
        return Failure(rc, detail);

    rc = curl_easy_perform(c);
    long status = 0;
    const CURLcode info = curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
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
    r.text = std::move(received);
    return r;
}

}  // namespace http
