#include "ubus.h"

#include <unistd.h>

#include <exception>

#include "fnv.h"

namespace ubus {

namespace {

// One write per line, so lines of concurrent callers never interleave.
void ErrorLine(const std::string& text) {
    const std::string line = text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

// Which listener owns a connection; the event path consults it, so a listener whose last
// handler is gone ignores what still arrives.
class Registry {
  public:
    static Registry& Instance() {
        static Registry registry;
        return registry;
    }

    void Add(const transport::Connection* conn, Listener* listener) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.emplace(conn, listener);
    }

    void Remove(const transport::Connection* conn) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(conn);
    }

    Listener* Find(const transport::Connection* conn) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(conn);
        return it == entries_.end() ? nullptr : it->second;
    }

  private:
    std::mutex mutex_;
    std::map<const transport::Connection*, Listener*> entries_;
};

}  // namespace

// ---- Core ----

Core::Core(const char* socketPath) : ctx(transport::Connect(socketPath)) {}

Core::~Core() {
    ServerStop();
}

bool Core::Connected() const {
    return ctx && ctx->Connected();
}

void Core::ServerStart() {
    if (thread.joinable())
        return;
    thread = std::thread([this] {
        ctx->RunLoop([this](const char* type, const char* json) { OnEvent(type, json); });
    });
}

void Core::ServerStop() {
    ctx->EndLoop();
    // From a handler on the loop thread itself the loop just ends; the owner joins later.
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}

void Core::OnEvent(const char*, const char*) {}

// ---- Listener ----

Listener::Listener(const char* socketPath) : Core(socketPath) {}

Listener::~Listener() {
    // The loop thread calls into this object; it must be gone before the handlers are.
    ServerStop();
    Registry::Instance().Remove(ctx.get());
}

bool Listener::Register(const char* type, Handler fn) {
    const int status = type == nullptr     ? kStatusInvalidArgument
                       : !ctx->Connected() ? kStatusConnectionFailed
                                           : ctx->RegisterEvent(type);
    if (status != kStatusOk) {
        ErrorLine(std::string("Register Failed : ") + transport::StatusText(status));
        return false;
    }
    return AddHandler(fnv::Hash(type), std::move(fn));
}

bool Listener::AddHandler(uint32_t key, Handler fn) {
    std::lock_guard<std::mutex> lock(mutex);
    if (Registry::Instance().Find(ctx.get()) == nullptr)
        Registry::Instance().Add(ctx.get(), this);
    return handlers.emplace(key, std::move(fn)).second;
}

bool Listener::Unregister(const char* type) {
    if (type == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    const bool erased = handlers.erase(fnv::Hash(type)) == 1;
    if (handlers.empty())
        Registry::Instance().Remove(ctx.get());
    return erased;
}

void Listener::OnEvent(const char* type, const char* json) {
    if (Registry::Instance().Find(ctx.get()) == nullptr)
        return;
    Handler fn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = handlers.find(fnv::Hash(type));
        if (it == handlers.end())
            return;
        fn = it->second;
    }
    // Called without the lock, so a handler may Register or Unregister.
    try {
        fn(json);
    } catch (const std::exception& e) {
        ErrorLine(std::string("event handler ") + type + " : " + e.what());
    } catch (...) {
        ErrorLine(std::string("event handler ") + type + " : unknown exception");
    }
}

// ---- Sender ----

Sender::Sender(int timeoutSeconds, const char* socketPath)
    : Core(socketPath), timeout(timeoutSeconds * 1000) {}

bool Sender::SendEvent(const char* type, const std::string& json) {
    if (type == nullptr || json.empty())
        return false;
    if (!ctx->SetPayload(json)) {
        ErrorLine("Failed to parse message data : " + json);
        return false;
    }
    return Connected() && ctx->SendEvent(type) == kStatusOk;
}

bool Sender::Invoke(const char* path, const char* method, const std::string& args, Reply reply) {
    ctx->ClearPayload();
    if (!args.empty() && !ctx->SetPayload(args)) {
        ErrorLine("Failed to parse args data (" + args + ")");
        return false;
    }
    uint32_t id = 0;
    if (path == nullptr || !Connected() || ctx->Lookup(path, id) != kStatusOk) {
        ErrorLine("lookup_id");
        return false;
    }
    // The handler travels with the call itself, so a reply can only reach the call (and
    // the thread) that asked, and a call without a handler never reaches an earlier one.
    const Reply handler = std::move(reply);
    const int status = method == nullptr
                           ? kStatusInvalidArgument
                           : ctx->Invoke(id, method, timeout, [&handler](const char* json) {
                                 if (handler)
                                     handler(json);
                             });
    if (status != kStatusOk) {
        ErrorLine(std::string("invoke ") + transport::StatusText(status) + " p:" + path +
                  " m:" + (method ? method : "") + " arg:" + args);
        return false;
    }
    return true;
}

// ---- EventSender ----

EventSender::EventSender(int timeoutSeconds, const char* socketPath)
    : timeout_(timeoutSeconds), socketPath_(socketPath) {}

EventSender::~EventSender() = default;

bool EventSender::SendEvent(const char* type, const std::string& json) {
    if (type == nullptr || json.empty())
        return false;
    const bool reused = sender_ != nullptr;
    if (!reused) {
        sender_ = std::make_unique<Sender>(timeout_, socketPath_);
        ++opened_;
    }
    if (sender_->SendEvent(type, json))
        return true;
    sender_.reset();
    return reused && SendEvent(type, json);
}

void EventSender::Release() {
    sender_.reset();
}

}  // namespace ubus
