#pragma once

#include <atomic>
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
};

struct Response {
    // A libcurl error code (below 100) when the exchange failed, else the HTTP status.
    int code = 0;
    // The response body, or the libcurl error text.
    std::string text;
    // The HTTP status the server sent, also when the exchange broke off after it; 0 for none.
    int status = 0;
};

Response HttpPost(const std::string& url, const std::vector<std::string>& headers,
                  const std::string& body, const PostOptions& options = PostOptions());

}  // namespace http
