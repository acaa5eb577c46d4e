#include "ubus.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <set>

#include "fnv.h"
#include "log.h"
#include "ubus_payload.h"

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

// Objects whose last lookup failed. A daemon makes many calls at start: an object that is not
// there is named once, in the daemon's log, until a lookup finds it again.
class MissingObjects {
  public:
    static MissingObjects& Instance() {
        static MissingObjects missing;
        return missing;
    }

    void Failed(const std::string& path, int status) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!names_.insert(path).second)
                return;
        }
        LOGE << "ubus object \"" << path << "\" "
             << (status == kStatusNotFound ? "not found" : "not reached") << " (" << status << " "
             << transport::StatusText(status) << ")";
    }

    void Found(const char* path) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!names_.empty())
            names_.erase(path);
    }

  private:
    std::mutex mutex_;
    std::set<std::string> names_;  // bounded by the object names the code calls
};

}  // namespace

// ---- Core ----

namespace {

// Between attempts to reach a bus that went away: doubled after every failed attempt.
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLastRetry{4000};

}  // namespace

Core::Core(const char* socketPath) : ctx(transport::Connect(socketPath)) {
    if (socketPath != nullptr)
        socketPath_ = socketPath;
}

Core::~Core() {
    ServerStop();
}

bool Core::Connected() const {
    const auto hold = HoldConnection();
    return ctx && ctx->Connected();
}

void Core::ServerStart() {
    if (thread.joinable())
        return;
    thread = std::thread([this] { Serve(); });
}

void Core::ServerStop() {
    stopping_.store(true);
    {
        const auto hold = HoldConnection();
        ctx->EndLoop();
    }
    {
        // Taken once, so a reconnect wait that has not yet seen the flag cannot miss this.
        std::lock_guard<std::mutex> lock(waitMutex_);
    }
    stopped_.notify_all();
    // From a handler on the loop thread itself the loop just ends; the owner joins later.
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}

std::unique_lock<std::mutex> Core::HoldConnection() const {
    // The loop thread may be inside the bus library with its lock held when a handler comes
    // here; it needs no guard against itself.
    if (std::this_thread::get_id() == loopThread_.load())
        return {};
    return std::unique_lock<std::mutex>(connectionMutex_);
}

void Core::Serve() {
    loopThread_.store(std::this_thread::get_id());
    const transport::EventFn onEvent = [this](const char* type, const char* json) {
        OnEvent(type, json);
    };
    transport::Connection* conn = ctx.get();
    while (conn->RunLoop(onEvent) == transport::Connection::LoopEnd::kLost && !stopping_.load()) {
        ErrorLine("ubus connection lost, connecting again");
        conn = Reconnect();
        if (conn == nullptr)
            break;
        ErrorLine("ubus connection restored");
    }
    loopThread_.store(std::thread::id());
}

transport::Connection* Core::Reconnect() {
    auto delay = kFirstRetry;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(waitMutex_);
            if (stopped_.wait_for(lock, delay, [this] { return stopping_.load(); }))
                return nullptr;
        }
        auto fresh = transport::Connect(socketPath_ ? socketPath_->c_str() : nullptr);
        std::unique_ptr<transport::Connection> old;  // closed once the lock is released
        {
            std::lock_guard<std::mutex> lock(connectionMutex_);
            // ServerStop ended the old connection's loop; a new one would run on.
            if (stopping_.load())
                return nullptr;
            if (fresh->Connected() && Resubscribe(*fresh)) {
                old = std::move(ctx);
                ctx = std::move(fresh);
                return ctx.get();
            }
        }
        delay = std::min(delay * 2, kLastRetry);
    }
}

void Core::OnEvent(const char*, const char*) {}

bool Core::Resubscribe(transport::Connection&) {
    return true;
}

// ---- Listener ----

Listener::Listener(const char* socketPath) : Core(socketPath) {}

Listener::~Listener() {
    // The loop thread calls into this object; it must be gone before the handlers are.
    ServerStop();
    Registry::Instance().Remove(ctx.get());
}

bool Listener::Register(const char* type, Handler fn) {
    const auto hold = HoldConnection();
    const int status = type == nullptr     ? kStatusInvalidArgument
                       : !ctx->Connected() ? kStatusConnectionFailed
                                           : ctx->RegisterEvent(type);
    if (status != kStatusOk) {
        ErrorLine(std::string("Register Failed : ") + transport::StatusText(status));
        return false;
    }
    return AddHandler(type, std::move(fn));
}

bool Listener::AddObject(const char* name, std::map<std::string, Method> methods) {
    if (name == nullptr || methods.empty())
        return false;
    auto object = std::make_shared<const Object>(Object{name, std::move(methods)});
    const auto hold = HoldConnection();
    const int status = ctx->Connected() ? Add(*ctx, object) : kStatusConnectionFailed;
    if (status != kStatusOk) {
        ErrorLine(std::string("Failed to publish object ") + name + " : " +
                  transport::StatusText(status));
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    objects.push_back(std::move(object));
    return true;
}

int Listener::Add(transport::Connection& conn, const std::shared_ptr<const Object>& object) {
    std::vector<std::string> names;
    for (const auto& entry : object->methods)
        names.push_back(entry.first);
    // The methods never change once served, so a call needs no lock to find one.
    return conn.AddObject(
        object->name.c_str(), names,
        [object](const char* method, const char* json, std::string& answer) {
            const auto it = object->methods.find(method);
            if (it == object->methods.end())
                return static_cast<int>(kStatusMethodNotFound);
            try {
                answer = it->second(json);
            } catch (const std::exception& e) {
                ErrorLine("ubus method " + object->name + "." + method + " : " + e.what());
                return static_cast<int>(kStatusUnknownError);
            }
            return static_cast<int>(kStatusOk);
        });
}

bool Listener::Resubscribe(transport::Connection& fresh) {
    std::vector<std::string> subscribed;
    std::vector<std::shared_ptr<const Object>> served;
    {
        std::lock_guard<std::mutex> lock(mutex);
        subscribed = patterns;
        served = objects;
    }
    for (const auto& pattern : subscribed) {
        if (fresh.RegisterEvent(pattern.c_str()) != kStatusOk)
            return false;
    }
    for (const auto& object : served) {
        if (Add(fresh, object) != kStatusOk)
            return false;
    }
    // The registry knows a listener by its connection.
    std::lock_guard<std::mutex> lock(mutex);
    if (Registry::Instance().Find(ctx.get()) != nullptr) {
        Registry::Instance().Remove(ctx.get());
        Registry::Instance().Add(&fresh, this);
    }
    return true;
}

bool Listener::AddHandler(const char* type, Handler fn) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::find(patterns.begin(), patterns.end(), type) == patterns.end())
        patterns.emplace_back(type);
    if (Registry::Instance().Find(ctx.get()) == nullptr)
        Registry::Instance().Add(ctx.get(), this);
    return handlers.emplace(fnv::Hash(type), std::move(fn)).second;
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
    if (json == nullptr) {
        ErrorLine(std::string("ubus event ") + type +
                  " dropped: payload is not a JSON object blobmsg takes");
        return;
    }
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
    if (!payload::ShallowEnough(json.c_str()) || !ctx->SetPayload(json)) {
        ErrorLine("Failed to parse message data : " + logging::Cut(json));
        return false;
    }
    return Connected() && ctx->SendEvent(type) == kStatusOk;
}

bool Sender::Invoke(const char* path, const char* method, const std::string& args, Reply reply) {
    ctx->ClearPayload();
    if (!args.empty() && (!payload::ShallowEnough(args.c_str()) || !ctx->SetPayload(args))) {
        ErrorLine("Failed to parse args data (" + (hide_args ? "<hidden>" : logging::Cut(args)) +
                  ")");
        return false;
    }
    uint32_t id = 0;
    const int found = path == nullptr ? kStatusInvalidArgument
                      : !Connected()  ? kStatusConnectionFailed
                                      : ctx->Lookup(path, id);
    if (found != kStatusOk) {
        MissingObjects::Instance().Failed(path == nullptr ? "" : path, found);
        return false;
    }
    MissingObjects::Instance().Found(path);
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
        ErrorLine(std::string("invoke ") + transport::StatusText(status) + " p:" + path + " m:" +
                  (method ? method : "") + " arg:" + (hide_args ? "<hidden>" : logging::Cut(args)));
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
