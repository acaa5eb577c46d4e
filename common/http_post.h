#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

// One HTTP POST over libcurl's easy interface.
namespace http {

struct PostOptions {
    // CA bundle that signs the server's certificate; empty: the system's bundle.
    std::string ca_file;
    // Peer and host name checks; off only on explicit request.
    bool verify_tls = true;
    // When it turns false during the exchange, the exchange is abandoned (shutdown).
    const std::atomic<bool>* keep_going = nullptr;
    long timeout_seconds = 30;
    // Bytes of answer body taken; past them the transfer is stopped (a line says so). A few
    // KiB: most callers only need the status.
    std::size_t max_body = 4096;
};

struct Response {
    // A libcurl error code (below 100) when the exchange failed, else the HTTP status.
    int code = 0;
    // The response body (at most max_body bytes of it), or the libcurl error text.
    std::string text;
    // The HTTP status the server sent, also when the exchange broke off after it; 0 for none.
    int status = 0;
};

Response HttpPost(const std::string& url, const std::vector<std::string>& headers,
                  const std::string& body, const PostOptions& options = PostOptions());

}  // namespace http
