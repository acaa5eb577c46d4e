#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace supervd {

// What a name lookup found: the official name and the addresses in dotted form.
struct Lookup {
    bool resolved = false;
    std::string name;
    std::vector<std::string> addresses;
};

// Resolves `host` through the C library's resolver (gethostbyname).
Lookup NetMonDNS(const std::string& host);

// Name lookups on a thread of their own, one at a time. A lookup can hang for as long as the
// resolver likes; it holds up neither the caller nor the owner's stop: once the probe is
// closed, a lookup still running reports nothing.
class NameProbe {
  public:
    using Resolve = std::function<Lookup(const std::string& host)>;
    using Report = std::function<void(const std::string& host, const Lookup& lookup)>;

    NameProbe(Resolve resolve, Report report);
    NameProbe(const NameProbe&) = delete;
    NameProbe& operator=(const NameProbe&) = delete;
    virtual ~NameProbe();

    // Starts a lookup; false when the last one is still running (no new one is started).
    bool Start(const std::string& host);
    // No report after this returns.
    void Close();

  private:
    struct Shared {
        std::mutex mutex;
        bool busy = false;
        Report report;  // empty once closed
    };

    Resolve resolve_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace supervd
