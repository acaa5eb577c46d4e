// ubus on the router: libubus, libubox's uloop and libblobmsg_json.

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "heap.h"
#include "ubus_blob_json.h"
#include "ubus_payload.h"
#include "ubus_status.h"
#include "ubus_transport.h"

namespace ubus::transport {

namespace {

// libubus keeps process-wide state behind every context: the request buffer that
// ubus_invoke, ubus_lookup_id and ubus_send_event build in, the table that parses
// incoming messages, and ubus_free releases that buffer. Two connections may therefore
// never be inside libubus at the same time; this lock makes them take turns (recursive,
// because an event handler on the loop thread uses a Sender of its own). A call holds it
// until its answer, so events wait meanwhile in the socket.
std::recursive_mutex& LibubusLock() {
    static std::recursive_mutex lock;
    return lock;
}

// After events this big the heap is handed back.
constexpr std::size_t kTrimAfterBytes = 64 * 1024;

// uloop is process-wide: one loop (one running Listener) per process.
std::atomic<bool> loopRunning{false};

// What ubus_connect installed, called under the lock from the loop.
void (*ubusSocketHandler)(uloop_fd*, unsigned int) = nullptr;
void (*ubusPendingHandler)(uloop_timeout*) = nullptr;

void LockedSocketHandler(uloop_fd* fd, unsigned int events) {
    std::lock_guard<std::recursive_mutex> lock(LibubusLock());
    ubusSocketHandler(fd, events);
}

void LockedPendingHandler(uloop_timeout* timeout) {
    std::lock_guard<std::recursive_mutex> lock(LibubusLock());
    ubusPendingHandler(timeout);
}

class LibubusConnection;

// The connection whose socket the running loop watches (guarded by the lock).
LibubusConnection* loopConnection = nullptr;

void ConnectionLost(ubus_context* ctx);

// What a call hands to its reply callback.
struct ReplyContext {
    const ReplyFn* reply;
    bool unusable = false;
};

void ReplyData(ubus_request* req, int, blob_attr* msg) {
    auto* call = static_cast<ReplyContext*>(req->priv);
    if (msg == nullptr || call == nullptr)
        return;
    std::string text;
    if (!blob::ToJson(msg, text)) {
        call->unusable = true;
        return;
    }
    (*call->reply)(text.c_str());
}

// An object this connection serves; libubus keeps pointers into it while it is added.
struct Served;
struct ObjectRecord {
    ubus_object obj;  // first: libubus hands this address back
    Served* owner;
};
struct Served {
    std::string name;
    std::vector<std::string> names;
    std::vector<ubus_method> methods;
    ubus_object_type type{};
    ObjectRecord record{};
    MethodFn fn;
};

// Runs on the loop thread, under the lock (from the socket handler). libubus itself answers a
// method the object does not list with UBUS_STATUS_METHOD_NOT_FOUND.
int MethodCalled(ubus_context* ctx, ubus_object* obj, ubus_request_data* req, const char* method,
                 blob_attr* msg) {
    Served* served = reinterpret_cast<ObjectRecord*>(obj)->owner;
    std::string args = "{}";
    if (msg != nullptr && !blob::ToJson(msg, args))
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string answer;
    const int status = served->fn(method, args.c_str(), answer);
    if (status != UBUS_STATUS_OK || answer.empty())
        return status;
    blob_buf reply{};
    blob_buf_init(&reply, 0);
    // Queued on the socket by ubusd's side; a caller that left is ubusd's business.
    const int sent = blobmsg_add_json_from_string(&reply, answer.c_str())
                         ? ubus_send_reply(ctx, req, reply.head)
                         : UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_free(&reply);
    return sent;
}

class LibubusConnection final : public Connection {
  public:
    explicit LibubusConnection(const char* path) {
        wake_.fd.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        wake_.fd.cb = &LibubusConnection::Woken;
        wake_.owner = this;
        events_.handler.cb = &LibubusConnection::EventArrived;
        events_.owner = this;
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        // ubus_connect runs uloop_init. The loop only carries ubus: it must not take
        // SIGCHLD and reap the daemon's children (popen, helpers) with waitpid(-1).
        uloop_handle_sigchld = false;
        ctx_ = ubus_connect(path);
        if (ctx_ != nullptr)
            ctx_->connection_lost = ConnectionLost;
    }

    ~LibubusConnection() override {
        {
            std::lock_guard<std::recursive_mutex> lock(LibubusLock());
            if (ctx_ != nullptr)
                ubus_free(ctx_);
        }
        blob_buf_free(&buf_);
        if (wake_.fd.fd >= 0)
            close(wake_.fd.fd);
    }

    bool Connected() const override { return ctx_ != nullptr; }

    bool SetPayload(const std::string& json) override {
        blob_buf_init(&buf_, 0);
        // The host bus's bound: without it libubus refuses the send later, and silently.
        if (json.size() > payload::kMaxBytes)
            return false;
        return blobmsg_add_json_from_string(&buf_, json.c_str());
    }

    void ClearPayload() override { blob_buf_init(&buf_, 0); }

    int SendEvent(const char* type) override {
        if (ctx_ == nullptr)
            return kStatusConnectionFailed;
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        return ubus_send_event(ctx_, type, buf_.head);
    }

    int Lookup(const char* path, uint32_t& id) override {
        if (ctx_ == nullptr)
            return kStatusConnectionFailed;
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        return ubus_lookup_id(ctx_, path, &id);
    }

    int Invoke(uint32_t id, const char* method, int timeoutMs, const ReplyFn& reply) override {
        if (ctx_ == nullptr)
            return kStatusConnectionFailed;
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        // The request's private pointer ties the answer to this call.
        ReplyContext call{&reply};
        const int status =
            ubus_invoke_fd(ctx_, id, method, buf_.head, ReplyData, &call, timeoutMs, -1);
        return status == UBUS_STATUS_OK && call.unusable ? kStatusParseError : status;
    }

    int RegisterEvent(const char* pattern) override {
        if (ctx_ == nullptr)
            return kStatusConnectionFailed;
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        return ubus_register_event_handler(ctx_, &events_.handler, pattern);
    }

    int AddObject(const char* name, const std::vector<std::string>& methods, MethodFn fn) override {
        if (ctx_ == nullptr)
            return kStatusConnectionFailed;
        if (name == nullptr || *name == '\0' || methods.empty())
            return kStatusInvalidArgument;
        auto served = std::make_unique<Served>();
        served->name = name;
        served->names = methods;
        served->fn = std::move(fn);
        for (const auto& method : served->names) {
            ubus_method m{};
            m.name = method.c_str();
            m.handler = MethodCalled;
            served->methods.push_back(m);
        }
        served->type.name = served->name.c_str();
        served->type.methods = served->methods.data();
        served->type.n_methods = static_cast<int>(served->methods.size());
        ubus_object& obj = served->record.obj;
        obj.name = served->name.c_str();
        obj.type = &served->type;
        obj.methods = served->methods.data();
        obj.n_methods = served->type.n_methods;
        served->record.owner = served.get();
        std::lock_guard<std::recursive_mutex> lock(LibubusLock());
        const int status = ubus_add_object(ctx_, &obj);
        if (status == UBUS_STATUS_OK)
            served_.push_back(std::move(served));
        return status;
    }

    LoopEnd RunLoop(const EventFn& onEvent) override {
        if (ctx_ == nullptr)
            return LoopEnd::kEnded;
        if (loopRunning.exchange(true)) {
            std::fprintf(stderr, "ubus: uloop already runs in this process\n");
            return LoopEnd::kEnded;
        }
        {
            std::lock_guard<std::recursive_mutex> lock(LibubusLock());
            onEvent_ = onEvent;
            loopConnection = this;
            uloop_init();
            uloop_fd_add(&wake_.fd, ULOOP_READ);
            // libubus' own handlers run under the lock.
            ubusSocketHandler = ctx_->sock.cb;
            ubusPendingHandler = ctx_->pending_timer.cb;
            ctx_->sock.cb = LockedSocketHandler;
            ctx_->pending_timer.cb = LockedPendingHandler;
            uloop_fd_add(&ctx_->sock, ULOOP_READ | ULOOP_BLOCKING);
        }
        // EndLoop may come before or while the loop starts: the wake-up fd stays readable
        // until the loop has seen it.
        if (!ending_.load() && !lost_.load())
            uloop_run();
        {
            std::lock_guard<std::recursive_mutex> lock(LibubusLock());
            uloop_done();
            onEvent_ = nullptr;
            loopConnection = nullptr;
        }
        loopRunning.store(false);
        return lost_.load() && !ending_.load() ? LoopEnd::kLost : LoopEnd::kEnded;
    }

    void EndLoop() override {
        ending_.store(true);
        Wake();
    }

    // Called under the lock, on the loop thread or on one making a call over this connection.
    void Lost(ubus_context* ctx) {
        if (ctx != ctx_)
            return;
        lost_.store(true);
        Wake();
    }

  private:
    void Wake() {
        const uint64_t one = 1;
        if (wake_.fd.fd >= 0 && write(wake_.fd.fd, &one, sizeof one) < 0) {
            // the counter is full, so the loop wakes anyway
        }
    }

    struct EventRecord {
        ubus_event_handler handler;  // first: libubus hands this address back
        LibubusConnection* owner;
    };
    struct WakeRecord {
        uloop_fd fd;  // first: uloop hands this address back
        LibubusConnection* owner;
    };

    static void EventArrived(ubus_context*, ubus_event_handler* ev, const char* type,
                             blob_attr* msg) {
        auto* self = reinterpret_cast<EventRecord*>(ev)->owner;
        // Events read while a subscription is made, before the loop runs, are dropped; so are
        // those libubus read in the same batch as one whose handler ended the loop.
        if (!self->onEvent_ || self->ending_.load())
            return;
        // ubusd refuses bigger messages already; held here too, so that both buses agree.
        const std::size_t size = msg != nullptr ? blob_pad_len(msg) : 0;
        if (size > payload::kMaxBytes) {
            std::fprintf(stderr,
                         "ubus event %.64s dropped: payload of %zu bytes, over the %zu of a "
                         "message\n",
                         type, size, payload::kMaxBytes);
            return;
        }
        // Not blobmsg_format_json: it prints doubles with %lf, so 1e-7 would arrive as 0.
        std::string text;
        const bool usable = blob::ToJson(msg, text);
        self->onEvent_(type, usable ? text.c_str() : nullptr);
        // The handlers are done with it: the heap goes back after a large one.
        if (size > kTrimAfterBytes) {
            std::string().swap(text);
            heap::Release();
        }
    }

    static void Woken(uloop_fd* fd, unsigned int) {
        auto* self = reinterpret_cast<WakeRecord*>(fd)->owner;
        uint64_t count;
        if (read(fd->fd, &count, sizeof count) < 0) {
            // already taken
        }
        if (self->ending_.load() || self->lost_.load())
            uloop_end();
    }

    ubus_context* ctx_ = nullptr;
    blob_buf buf_{};
    std::vector<std::unique_ptr<Served>> served_;  // outlives the ubus_free in the destructor
    EventRecord events_{};
    WakeRecord wake_{};
    EventFn onEvent_;
    std::atomic<bool> ending_{false};
    std::atomic<bool> lost_{false};
};

// When ubusd goes away, uloop sees the hang-up and drops the socket before libubus reads
// the end of it, so libubus' own handler (which ends the loop only for a socket still in
// uloop) would leave the loop running deaf. A call in progress reports the loss itself.
void ConnectionLost(ubus_context* ctx) {
    if (loopConnection != nullptr)
        loopConnection->Lost(ctx);
}

}  // namespace

std::unique_ptr<Connection> Connect(const char* path) {
    // As with the host transport, the environment may name the bus socket (a private ubusd
    // for tests); unset, libubus takes its default.
    if (path == nullptr || *path == '\0') {
        path = std::getenv("HALVEX_UBUS_ADDRESS");
        if (path != nullptr && *path == '\0')
            path = nullptr;
    }
    return std::make_unique<LibubusConnection>(path);
}

const char* StatusText(int status) {
    return ubus_strerror(status);
}

}  // namespace ubus::transport
