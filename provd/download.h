#pragma once

#include <string>

#include "http_post.h"

// Fetches url + "/" + name into dir + "/" + name over libcurl. The body goes to a temporary
// file of mode 0600 that is renamed only when the whole body came with status 200, so an
// error page or a body cut short never takes the package's place. Peer and host are checked
// as `options` say (verify_tls, ca_file); keep_going abandons the transfer; a body over
// options.max_body bytes is stopped there and the file removed.
bool DownloadFile(const std::string& url, const std::string& name, const std::string& dir,
                  const http::PostOptions& options);
