#include "http_curl.h"

#include <mutex>

namespace http {

namespace {

// Called about once a second while idle; a non-zero answer aborts the transfer.
int Progress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* keepGoing = static_cast<const std::atomic<bool>*>(userdata);
    return keepGoing->load() ? 0 : 1;
}

}  // namespace

Easy NewEasy() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
    return Easy(curl_easy_init());
}

CURLcode SetTransferOptions(CURL* c, const PostOptions& options, char* detail) {
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode r) {
        if (rc == CURLE_OK)
            rc = r;
    };
    set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options.verify_tls ? 1L : 0L));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options.verify_tls ? 2L : 0L));
    if (!options.ca_file.empty())
        set(curl_easy_setopt(c, CURLOPT_CAINFO, options.ca_file.c_str()));
    set(curl_easy_setopt(c, CURLOPT_TIMEOUT, options.timeout_seconds));
    set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
    if (options.keep_going != nullptr) {
        set(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress));
        set(curl_easy_setopt(c, CURLOPT_XFERINFODATA, options.keep_going));
        set(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L));
    }
    return rc;
}

}  // namespace http
