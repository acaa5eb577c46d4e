#pragma once

#include <curl/curl.h>

#include <memory>

#include "http_post.h"

// What every transfer of the gateway sets on its libcurl handle, whatever it does with the
// answer.
namespace http {

struct EasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;

// A new handle, libcurl set up once per process first; empty when none can be made.
Easy NewEasy();

// The error text buffer (CURL_ERROR_SIZE bytes), the TLS checks and CA bundle, the time-out,
// no signals, and abandoning the transfer when options.keep_going turns false. The first
// option that failed, or CURLE_OK.
CURLcode SetTransferOptions(CURL* curl, const PostOptions& options, char* detail);

}  // namespace http
