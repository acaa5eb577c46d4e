#include "download.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "http_curl.h"
#include "log.h"

namespace {

struct Target {
    int fd;
    std::size_t written;
    std::size_t max;
    bool over;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* userdata) {
    auto* target = static_cast<Target*>(userdata);
    const int fd = target->fd;
    size_t left = size * count;
    // The file sits in RAM (/tmp) until it is applied: not a byte over the bound goes there.
    if (left > target->max - target->written) {
        target->over = true;
        return 0;
    }
    target->written += left;
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

// A fresh file only this process can read; a name left over from an earlier run goes first.
int CreatePrivate(const std::string& path) {
    unlink(path.c_str());
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

bool DownloadFile(const std::string& url, const std::string& name, const std::string& dir,
                  const http::PostOptions& options) {
    const std::string source = url + "/" + name;
    const std::string target = dir + "/" + name;
    const std::string partial = target + ".part";
    LOGV << source;

    int fd = CreatePrivate(partial);
    if (fd < 0) {
        LOGE << "Cannot create " << partial << " : " << std::strerror(errno);
        return false;
    }
    http::Easy curl = http::NewEasy();
    if (!curl) {
        close(fd);
        unlink(partial.c_str());
        LOGE << "curl_easy_init failed";
        return false;
    }
    char detail[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    CURLcode rc = http::SetTransferOptions(c, options, detail);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(c, CURLOPT_URL, source.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToFile);
    Target written{fd, 0, options.max_body, false};
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(c, CURLOPT_WRITEDATA, &written);
    // An announced length over the bound ends the transfer before the body.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                              static_cast<curl_off_t>(options.max_body));
    if (rc == CURLE_OK)
        rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    const bool closed = close(fd) == 0;

    bool ok = false;
    if (written.over || rc == CURLE_FILESIZE_EXCEEDED) {
        LOGE << "Download stopped : the answer ( " << status << " ) is over " << options.max_body
             << " bytes (max_package)";
    } else if (rc != CURLE_OK) {
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
