#include "name_probe.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <thread>

namespace supervd {

Lookup NetMonDNS(const std::string& host) {
    // The reentrant form: other threads of the process may resolve names too.
    hostent entry{};
    hostent* result = nullptr;
    int error = 0;
    std::vector<char> buffer(1024);
    while (gethostbyname_r(host.c_str(), &entry, buffer.data(), buffer.size(), &result, &error) ==
               ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    Lookup lookup;
    if (result == nullptr)
        return lookup;
    lookup.resolved = true;
    lookup.name = result->h_name != nullptr ? result->h_name : "";
    if (result->h_addrtype == AF_INET) {
        for (char** a = result->h_addr_list; a != nullptr && *a != nullptr; ++a) {
            char text[INET_ADDRSTRLEN] = {0};
            if (inet_ntop(AF_INET, *a, text, sizeof text) != nullptr)
                lookup.addresses.emplace_back(text);
        }
    }
    return lookup;
}

NameProbe::NameProbe(Resolve resolve, Report report)
    : resolve_(std::move(resolve)), shared_(std::make_shared<Shared>()) {
    shared_->report = std::move(report);
}

NameProbe::~NameProbe() {
    Close();
}

void NameProbe::Close() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->report = nullptr;
}

bool NameProbe::Start(const std::string& host) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->busy)
            return false;
        shared_->busy = true;
    }
    // Detached on purpose: a lookup cannot be cancelled, and it only holds the shared state.
    std::thread([shared = shared_, resolve = resolve_, host] {
        const Lookup lookup = resolve(host);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->busy = false;
        if (shared->report)
            shared->report(host, lookup);
    }).detach();
    return true;
}

}  // namespace supervd
