// ubus on the router: libubus, libubox's uloop and libblobmsg_json.

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

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
        // Events read while a subscription is made, before the loop runs, are dropped.
        if (!self->onEvent_)
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
    return std::make_unique<LibubusConnection>(path);
}

const char* StatusText(int status) {
    return ubus_strerror(status);
}

}  // namespace ubus::transport
