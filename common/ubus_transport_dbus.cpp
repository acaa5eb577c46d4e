// ubus carried by a private dbus-daemon (the host bus), through libsystemd's sd-bus.
// The convention (names, errors, events) is in docs/host-bus.md.

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "heap.h"
#include "ubus_payload.h"
#include "ubus_status.h"
#include "ubus_transport.h"

namespace ubus::transport {

namespace {

constexpr const char* kAddressVariable = "HALVEX_UBUS_ADDRESS";
constexpr const char* kObjectPrefix = "ubus.object.";
constexpr const char* kObjectPath = "/ubus";
constexpr const char* kObjectInterface = "ubus.Object";
constexpr const char* kEventPath = "/ubus/event";
constexpr const char* kEventInterface = "ubus.Event";
constexpr const char* kEventMember = "Event";
constexpr const char* kErrorPrefix = "ubus.Error.";
// After events this big the heap is handed back (their handlers have freed it by then).
constexpr std::size_t kTrimAfterBytes = 64 * 1024;

// D-Bus error names of the ubus statuses, indexed by status.
constexpr const char* kErrorNames[] = {
    "Ok",           "InvalidCommand", "InvalidArgument",  "MethodNotFound",
    "NotFound",     "NoData",         "PermissionDenied", "Timeout",
    "NotSupported", "UnknownError",   "ConnectionFailed", "NoMemory",
    "ParseError",   "SystemError",
};

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// "unix:path=..." or "tcp:host=..." pass as they are; anything else is a socket path.
bool HasTransportPrefix(const std::string& s) {
    const auto colon = s.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        if (!IsAlnum(s[i]) && s[i] != '-')
            return false;
    }
    return true;
}

std::string BusAddress(const char* socketPath) {
    const char* raw = socketPath != nullptr && *socketPath ? socketPath : getenv(kAddressVariable);
    if (raw == nullptr || *raw == '\0')
        return "";
    const std::string value(raw);
    if (HasTransportPrefix(value))
        return value;
    // D-Bus address values escape every byte outside [-0-9A-Za-z_/.\*] as %xx.
    std::string out = "unix:path=";
    for (unsigned char c : value) {
        if (IsAlnum(static_cast<char>(c)) || std::strchr("-_/.\\*", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", c);
            out += hex;
        }
    }
    return out;
}

// ubus object "X" is the bus name "ubus.object." + X with every element made valid: bytes
// outside [A-Za-z0-9-], and a digit that starts an element, become "_" and two hex digits, so
// the name can be read back unambiguously.
std::string BusName(const char* object) {
    std::string out = kObjectPrefix;
    bool element_start = true;
    for (const char* p = object; *p; ++p) {
        const char c = *p;
        if (c == '.') {
            out += '.';
            element_start = true;
            continue;
        }
        if ((IsAlnum(c) && !(element_start && c >= '0' && c <= '9')) || c == '-') {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "_%02x", static_cast<unsigned char>(c));
            out += hex;
        }
        element_start = false;
    }
    return out;
}

int StatusFromError(const sd_bus_error& error, int r) {
    if (error.name != nullptr) {
        const std::string name = error.name;
        if (name.rfind(kErrorPrefix, 0) == 0) {
            const std::string tail = name.substr(std::strlen(kErrorPrefix));
            for (int s = kStatusInvalidCommand; s <= kStatusSystemError; ++s) {
                if (tail == kErrorNames[s])
                    return s;
            }
            return kStatusUnknownError;
        }
        if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
            name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
            return kStatusNotFound;
        }
        if (name == "org.freedesktop.DBus.Error.NoReply" ||
            name == "org.freedesktop.DBus.Error.Timeout" ||
            name == "org.freedesktop.DBus.Error.TimedOut") {
            return kStatusTimeout;
        }
    }
    switch (-r) {
        case ETIMEDOUT:
            return kStatusTimeout;
        case ENOTCONN:
        case ECONNRESET:
        case ECONNREFUSED:
        case EPIPE:
        case ESHUTDOWN:
            return kStatusConnectionFailed;
        case ENOMEM:
            return kStatusNoMemory;
        default:
            return kStatusUnknownError;
    }
}

int StatusFromErrno(int r) {
    sd_bus_error none = SD_BUS_ERROR_NULL;
    return StatusFromError(none, r);
}

// One line on stderr for an event too big to look at; the type is cut, it came from outside.
void OversizeLine(const char* type, std::size_t size) {
    std::fprintf(stderr,
                 "ubus event %.64s dropped: payload of %zu bytes, over the %zu of a message\n",
                 type, size, payload::kMaxBytes);
}

bool Matches(const std::vector<std::string>& patterns, const char* type) {
    for (const auto& p : patterns) {
        if (!p.empty() && p.back() == '*') {
            if (std::strncmp(type, p.data(), p.size() - 1) == 0)
                return true;
        } else if (p == type) {
            return true;
        }
    }
    return false;
}

int IgnoreMatch(sd_bus_message*, void*, sd_bus_error*) {
    return 0;
}

// An object this connection serves.
struct Served {
    std::string busName;
    std::vector<std::string> methods;
    MethodFn fn;
};

class DbusConnection final : public Connection {
  public:
    explicit DbusConnection(const char* socketPath) {
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        const std::string address = BusAddress(socketPath);
        if (address.empty() || sd_bus_new(&bus_) < 0)
            return;
        // No file descriptors travel here: one step less in every connection's hand-shake.
        if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
            sd_bus_negotiate_fds(bus_, 0) < 0 || sd_bus_start(bus_) < 0) {
            bus_ = sd_bus_unref(bus_);
        }
    }

    ~DbusConnection() override {
        for (auto* m : calls_)
            sd_bus_message_unref(m);
        // SendEvent flushes; answers not yet written go with the connection.
        if (bus_ != nullptr)
            sd_bus_close_unref(bus_);
        if (wake_ >= 0)
            close(wake_);
    }

    bool Connected() const override { return bus_ != nullptr; }

    bool SetPayload(const std::string& json) override {
        return payload::CompactObject(json.c_str(), payload_);
    }

    void ClearPayload() override { payload_ = "{}"; }

    int SendEvent(const char* type) override {
        if (bus_ == nullptr)
            return kStatusConnectionFailed;
        std::lock_guard<std::mutex> lock(mutex_);
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_signal(bus_, &m, kEventPath, kEventInterface, kEventMember);
        if (r >= 0)
            r = sd_bus_message_append(m, "ss", type, payload_.c_str());
        if (r == -EINVAL) {
            sd_bus_message_unref(m);
            return kStatusInvalidArgument;  // e.g. a type that is not UTF-8
        }
        if (r >= 0)
            r = sd_bus_send(bus_, m, nullptr);
        sd_bus_message_unref(m);
        // The signal waits for the connection's hand-shake; write it out now, so that it
        // is neither late nor lost when a short-lived sender hangs up right after.
        if (r >= 0)
            r = sd_bus_flush(bus_);
        return r < 0 ? StatusFromErrno(r) : kStatusOk;
    }

    int Lookup(const char* path, uint32_t& id) override {
        if (bus_ == nullptr)
            return kStatusConnectionFailed;
        const std::string name = BusName(path);
        std::lock_guard<std::mutex> lock(mutex_);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                   name.c_str());
        int owned = 0;
        if (r >= 0)
            r = sd_bus_message_read(reply, "b", &owned);
        sd_bus_message_unref(reply);
        int status = kStatusOk;
        if (r < 0) {
            // A name that cannot exist on the bus is an object that does not exist.
            status =
                error.name != nullptr && std::strcmp(error.name, SD_BUS_ERROR_INVALID_ARGS) == 0
                    ? kStatusNotFound
                    : StatusFromError(error, r);
        } else if (!owned) {
            status = kStatusNotFound;
        }
        sd_bus_error_free(&error);
        if (status != kStatusOk)
            return status;
        for (id = 0; id < names_.size(); ++id) {
            if (names_[id] == name)
                return kStatusOk;
        }
        names_.push_back(name);
        return kStatusOk;
    }

    int Invoke(uint32_t id, const char* method, int timeoutMs, const ReplyFn& reply) override {
        if (bus_ == nullptr)
            return kStatusConnectionFailed;
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (id >= names_.size())
                return kStatusNotFound;
            sd_bus_message* m = nullptr;
            int r = sd_bus_message_new_method_call(bus_, &m, names_[id].c_str(), kObjectPath,
                                                   kObjectInterface, "Call");
            if (r >= 0)
                r = sd_bus_message_append(m, "ss", method, payload_.c_str());
            if (r < 0) {
                sd_bus_message_unref(m);
                return r == -EINVAL ? kStatusInvalidArgument : StatusFromErrno(r);
            }
            // ubus waits for ever on a time-out of 0.
            const uint64_t usec =
                timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) * 1000u : UINT64_MAX;
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* result = nullptr;
            r = sd_bus_call(bus_, m, usec, &error, &result);
            sd_bus_message_unref(m);
            int status = kStatusOk;
            const char* text = nullptr;
            if (r < 0) {
                status = StatusFromError(error, r);
            } else if (sd_bus_message_read(result, "s", &text) < 0) {
                status = kStatusInvalidArgument;  // not an answer of a ubus object
            } else if (*text != '\0' && !payload::CompactObject(text, answer)) {
                status = kStatusParseError;
            }
            sd_bus_error_free(&error);
            sd_bus_message_unref(result);
            if (status != kStatusOk)
                return status;
        }
        // Outside the lock: the handler may use this connection again.
        if (!answer.empty())
            reply(answer.c_str());
        return kStatusOk;
    }

    int RegisterEvent(const char* pattern) override {
        if (bus_ == nullptr)
            return kStatusConnectionFailed;
        const std::string p(pattern);
        std::string rule = std::string("type='signal',path='") + kEventPath + "',interface='" +
                           kEventInterface + "',member='" + kEventMember + "'";
        // An exact type is filtered by the daemon too, unless it would need quoting.
        const bool prefix = !p.empty() && p.back() == '*';
        if (!prefix && p.find_first_of("'\\,") == std::string::npos) {
            rule += ",arg0='" + p + "'";
        }
        int r;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            r = sd_bus_add_match(bus_, nullptr, rule.c_str(), IgnoreMatch, nullptr);
            if (r >= 0)
                patterns_.push_back(p);
        }
        // A running loop may have been left with messages this call read for it.
        Wake();
        return r < 0 ? StatusFromErrno(r) : kStatusOk;
    }

    int AddObject(const char* name, const std::vector<std::string>& methods, MethodFn fn) override {
        if (bus_ == nullptr)
            return kStatusConnectionFailed;
        if (name == nullptr || *name == '\0')
            return kStatusInvalidArgument;
        Served served{BusName(name), methods, std::move(fn)};
        int r;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Calls are taken before sd-bus would answer them "unknown object" itself.
            if (!filtering_) {
                r = sd_bus_add_filter(bus_, nullptr, &DbusConnection::Filter, this);
                if (r < 0)
                    return StatusFromErrno(r);
                filtering_ = true;
            }
            r = sd_bus_request_name(bus_, served.busName.c_str(), 0);
            if (r >= 0)
                served_.push_back(std::move(served));
        }
        Wake();
        // ubusd refuses a second object of the same name as an invalid argument.
        if (r == -EEXIST || r == -EALREADY || r == -EINVAL)
            return kStatusInvalidArgument;
        return r < 0 ? StatusFromErrno(r) : kStatusOk;
    }

    LoopEnd RunLoop(const EventFn& onEvent) override {
        if (bus_ == nullptr)
            return LoopEnd::kEnded;
        std::string self;
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const char* unique = nullptr;
            fd = sd_bus_get_fd(bus_);
            if (sd_bus_get_unique_name(bus_, &unique) >= 0)
                self = unique;
        }
        std::vector<Event> events;
        std::vector<sd_bus_message*> calls;
        while (!ending_.load()) {
            pollfd fds[2] = {{fd, 0, 0}, {wake_, POLLIN, 0}};
            int timeoutMs = -1;
            bool alive;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                alive = Drain(self, events);
                calls.swap(calls_);
                fds[0].events = static_cast<short>(sd_bus_get_events(bus_));
                uint64_t until = 0;
                if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
                    timespec ts{};
                    clock_gettime(CLOCK_MONOTONIC, &ts);
                    const uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000u +
                                         static_cast<uint64_t>(ts.tv_nsec) / 1000u;
                    timeoutMs = until <= now ? 0 : static_cast<int>((until - now + 999) / 1000);
                }
            }
            for (const auto& event : events) {
                if (ending_.load())
                    return LoopEnd::kEnded;
                onEvent(event.type.c_str(), event.usable ? event.json.c_str() : nullptr);
            }
            for (auto* call : calls) {
                if (!ending_.load())
                    Answer(call);
                sd_bus_message_unref(call);
            }
            if (received_ > kTrimAfterBytes) {
                events = std::vector<Event>();
                heap::Release();
            }
            received_ = 0;
            // What came before the hang-up has been delivered.
            if (!alive)
                return LoopEnd::kLost;
            if (!events.empty() || !calls.empty()) {
                events.clear();
                calls.clear();
                continue;  // more may have been read meanwhile
            }
            if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
                return LoopEnd::kLost;
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                if (read(wake_, &count, sizeof count) < 0) {
                    // nothing to take: another wake-up was consumed already
                }
            }
        }
        return LoopEnd::kEnded;
    }

    void EndLoop() override {
        ending_.store(true);
        Wake();
    }

  private:
    void Wake() {
        const uint64_t one = 1;
        if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
            // the counter is full, so the loop wakes anyway
        }
    }

    // Runs inside sd_bus_process (under the lock): keeps the calls of served objects for the
    // loop, so that answering never happens with the connection held.
    static int Filter(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<DbusConnection*>(userdata);
        if (!sd_bus_message_is_method_call(m, kObjectInterface, "Call"))
            return 0;
        const char* path = sd_bus_message_get_path(m);
        const char* destination = sd_bus_message_get_destination(m);
        if (path == nullptr || std::strcmp(path, kObjectPath) != 0 || destination == nullptr)
            return 0;
        for (const auto& served : self->served_) {
            if (served.busName == destination) {
                self->calls_.push_back(sd_bus_message_ref(m));
                return 1;
            }
        }
        return 0;
    }

    // On the loop thread, without the lock while the method runs.
    void Answer(sd_bus_message* call) {
        const char* method = nullptr;
        const char* args = nullptr;
        std::string json;
        std::string answer;
        int status = kStatusOk;
        const MethodFn* fn = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const char* destination = sd_bus_message_get_destination(call);
            for (const auto& served : served_) {
                if (destination != nullptr && served.busName == destination) {
                    fn = &served.fn;
                    status = kStatusMethodNotFound;
                    if (sd_bus_message_read(call, "ss", &method, &args) >= 0) {
                        for (const auto& name : served.methods) {
                            if (name == method)
                                status = kStatusOk;
                        }
                    } else {
                        status = kStatusInvalidArgument;
                    }
                }
            }
        }
        if (fn == nullptr)
            status = kStatusNotFound;
        else if (status == kStatusOk && !payload::CompactObject(*args ? args : "{}", json))
            status = kStatusInvalidArgument;
        // Safe without the lock: served_ only grows, and a deque keeps its elements in place.
        if (status == kStatusOk)
            status = (*fn)(method, json.c_str(), answer);
        if (status == kStatusOk && !answer.empty() && !payload::ShallowEnough(answer.c_str()))
            status = kStatusUnknownError;
        if (!sd_bus_message_get_expect_reply(call))
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        sd_bus_message* reply = nullptr;
        int r;
        if (status == kStatusOk) {
            r = sd_bus_message_new_method_return(call, &reply);
            if (r >= 0)
                r = sd_bus_message_append(reply, "s", answer.c_str());
        } else {
            if (status < kStatusInvalidCommand || status > kStatusSystemError)
                status = kStatusUnknownError;
            const std::string name = std::string(kErrorPrefix) + kErrorNames[status];
            r = sd_bus_message_new_method_errorf(call, &reply, name.c_str(), "%s",
                                                 StrError(status));
        }
        // Queued, never waited for: a caller that went away or reads slowly costs nothing
        // here; the loop writes it out when the socket takes it.
        if (r >= 0)
            sd_bus_send(bus_, reply, nullptr);
        sd_bus_message_unref(reply);
    }

    struct Event {
        std::string type;
        std::string json;
        bool usable;
    };

    // Processes what the bus has; keeps the events meant for this connection. False when
    // the connection is gone.
    bool Drain(const std::string& self, std::vector<Event>& out) {
        for (;;) {
            sd_bus_message* m = nullptr;
            const int r = sd_bus_process(bus_, &m);
            if (r < 0)
                return false;
            if (m != nullptr) {
                Keep(m, self, out);
                sd_bus_message_unref(m);
            }
            if (r == 0)
                return true;
        }
    }

    void Keep(sd_bus_message* m, const std::string& self, std::vector<Event>& out) {
        if (!sd_bus_message_is_signal(m, kEventInterface, kEventMember))
            return;
        const char* path = sd_bus_message_get_path(m);
        const char* sender = sd_bus_message_get_sender(m);
        if (path == nullptr || std::strcmp(path, kEventPath) != 0)
            return;
        if (sender != nullptr && self == sender)
            return;
        if (!sd_bus_message_has_signature(m, "ss"))
            return;
        const char* type = nullptr;
        const char* text = nullptr;
        if (sd_bus_message_read(m, "ss", &type, &text) < 0)
            return;
        if (!Matches(patterns_, type))
            return;
        const std::size_t size = std::strlen(text);
        received_ += size;
        if (size > payload::kMaxBytes) {
            OversizeLine(type, size);
            return;
        }
        Event event{type, "", false};
        event.usable = payload::CompactObject(text, event.json);
        out.push_back(std::move(event));
    }

    sd_bus* bus_ = nullptr;
    int wake_ = -1;
    std::atomic<bool> ending_{false};
    // sd-bus is not thread-safe: the loop and a late Register share the connection.
    std::mutex mutex_;
    std::string payload_ = "{}";
    std::vector<std::string> names_;     // looked-up objects, indexed by id
    std::vector<std::string> patterns_;  // subscribed types
    std::deque<Served> served_;
    bool filtering_ = false;
    std::vector<sd_bus_message*> calls_;  // taken by the filter, answered by the loop
    std::size_t received_ = 0;            // payload bytes of the events drained last
};

}  // namespace

std::unique_ptr<Connection> Connect(const char* path) {
    return std::make_unique<DbusConnection>(path);
}

const char* StatusText(int status) {
    return StrError(status);
}

}  // namespace ubus::transport
