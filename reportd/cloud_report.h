#pragma once

#include <functional>
#include <string>
#include <vector>

#include "http_post.h"

// What became of one POST, and so of the samples or ids in it.
enum class Delivery {
    kDelivered,  // 2xx: the server has them
    kRetry,      // not taken (no answer, time-out, 5xx, 401, 404, a proxy's page...): send again
    kRefused,    // 400, 413, 415, 422: the request itself is bad, sending it again cannot help
};

Delivery ClassifyResponse(int code);

// One POST: (url, headers, body) -> answer. HttpPost with the daemon's TLS settings, or a fake.
using PostFn = std::function<http::Response(
    const std::string& url, const std::vector<std::string>& headers, const std::string& body)>;

// POST url + "/gateways/report" and url + "/gateways/hb" with the bearer token; log the outcome.
// A report with a `key` carries it as "Idempotency-Key": the same key for the same samples.
Delivery ReportSensorData(const std::string& url, const std::string& token, const std::string& body,
                          const PostFn& post, const std::string& key = std::string());
Delivery ReportHeartBeat(const std::string& url, const std::string& token, const std::string& body,
                         const PostFn& post);
