#include "download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "log.h"

namespace {

struct EasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

size_t WriteToFile(char* data, size_t size, size_t count, void* userdata) {
    const int fd = *static_cast<int*>(userdata);
    size_t left = size * count;
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;  // libcurl ends the transfer with a write error
        data += n;
        left -= static_cast<size_t>(n);
    }
    return size * count;
}

int Progress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* keepGoing = static_cast<const std::atomic<bool>*>(userdata);
    return keepGoing->load() ? 0 : 1;
}

// A fresh file only this process can read; a name left over from an earlier run goes first.
int CreatePrivate(const std::string& path) {
    unlink(path.c_str());
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

bool DownloadFile(const std::string& url, const std::string& name, const std::string& dir,
                  const http::PostOptions& options) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });

    const std::string source = url + "/" + name;
    const std::string target = dir + "/" + name;
    const std::string partial = target + ".part";
    LOGV << source;

    int fd = CreatePrivate(partial);
    if (fd < 0) {
        LOGE << "Cannot create " << partial << " : " << std::strerror(errno);
        return false;
    }
    std::unique_ptr<CURL, EasyFree> curl(curl_easy_init());
    if (!curl) {
        close(fd);
        unlink(partial.c_str());
        LOGE << "curl_easy_init failed";
        return false;
    }
    char detail[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode r) {
        if (rc == CURLE_OK)
            rc = r;
    };
    set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail));
    set(curl_easy_setopt(c, CURLOPT_URL, source.c_str()));
    set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToFile));
    set(curl_easy_setopt(c, CURLOPT_WRITEDATA, &fd));
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
    if (rc == CURLE_OK)
        rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    const bool closed = close(fd) == 0;

    bool ok = false;
    if (rc != CURLE_OK) {
        LOGE << "Download Error ( " << static_cast<int>(rc) << " ) : " << curl_easy_strerror(rc)
             << (detail[0] != '\0' ? std::string(" (") + detail + ")" : std::string());
    } else if (status != 200) {
        LOGE << "Server Error ( " << status << " )";
    } else if (!closed) {
        LOGE << "Cannot write " << partial << " : " << std::strerror(errno);
    } else if (rename(partial.c_str(), target.c_str()) != 0) {
        LOGE << "Cannot rename " << partial << " : " << std::strerror(errno);
    } else {
        ok = true;
    }
    if (!ok)
        unlink(partial.c_str());
    return ok;
}
