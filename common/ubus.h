#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ubus_status.h"
#include "ubus_transport.h"

namespace ubus {

// A bus connection and, once started, the thread that runs its event loop. The thread is
// joined by ServerStop or the destructor, so it never outlives its object. When the bus goes
// away under a running loop (ubusd restarted), the loop thread says so once on stderr and
// connects again after a delay that grows while the bus stays away, until ServerStop.
class Core {
  public:
    explicit Core(const char* socketPath = nullptr);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    virtual ~Core();

    bool Connected() const;
    // Starts the event loop thread (once; later calls do nothing while it runs).
    void ServerStart();
    // Ends the event loop (uloop_end) and waits for its thread; safe to call twice. Also
    // ends a wait to connect again at once.
    void ServerStop();

  protected:
    // Runs on the loop thread for every event the connection receives; `json` is nullptr
    // for a payload that is not a JSON object blobmsg takes.
    virtual void OnEvent(const char* type, const char* json);
    // Runs on the loop thread with a new connection after the bus was lost, before the new
    // one replaces `ctx`: the place to subscribe again. False when it does not work either.
    virtual bool Resubscribe(transport::Connection& fresh);
    // Only the loop thread replaces `ctx`; other threads use a running loop's `ctx` while
    // holding this.
    std::unique_lock<std::mutex> HoldConnection() const;

    std::unique_ptr<transport::Connection> ctx;

  private:
    void Serve();
    // The new connection, or nullptr when ServerStop came first.
    transport::Connection* Reconnect();

    std::optional<std::string> socketPath_;
    std::thread thread;
    mutable std::mutex connectionMutex_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable stopped_;
};

// Event subscriptions with one handler per event type; handlers run on the loop thread,
// one at a time, in arrival order. A type ending in '*' subscribes to a prefix, but its
// handler is found by the hash of the pattern itself (as on the router), so it only runs
// for events whose type is that exact text. On the router (uloop is process-wide) there
// is one running Listener per process, and Register is called before ServerStart. After
// the bus was lost, every type registered so far is subscribed again on the new connection.
class Listener : public Core {
  public:
    using Handler = std::function<void(const char* json)>;

    explicit Listener(const char* socketPath = nullptr);
    ~Listener() override;

    // False (and a line on stderr) when the bus refuses the subscription; false when a
    // handler with the same key is already there (the first one stays).
    bool Register(const char* type, Handler fn);
    // Removes the handler; its bus subscription stays and later events are dropped.
    bool Unregister(const char* type);

    // A method of a served object: gets the argument object, gives the reply object ("" for
    // no data). It runs on the loop thread, between events, so it must answer at once from
    // what the daemon keeps ready (a snapshot), never wait for the daemon's work.
    using Method = std::function<std::string(const char* json)>;
    // Serves object `name` with `methods` on this listener's connection (again after the bus
    // was lost); a call of another method answers status 3. False (and a line on stderr) when
    // the bus refuses it.
    bool AddObject(const char* name, std::map<std::string, Method> methods);

  protected:
    void OnEvent(const char* type, const char* json) override;
    bool Resubscribe(transport::Connection& fresh) override;

  private:
    bool AddHandler(const char* type, Handler fn);

    struct Object {
        std::string name;
        std::map<std::string, Method> methods;
    };
    static int Add(transport::Connection& conn, const std::shared_ptr<const Object>& object);

    std::map<uint32_t, Handler> handlers;
    // What the bus was asked for (it keeps a type after Unregister).
    std::vector<std::string> patterns;
    std::vector<std::shared_ptr<const Object>> objects;
    std::mutex mutex;  // handlers, patterns, objects, the registry entry
};

// Synchronous method calls and event emission over a connection of its own. One Sender
// serves one thread at a time; threads calling at once each use their own.
class Sender : public Core {
  public:
    using Reply = std::function<void(const char* json)>;

    explicit Sender(int timeoutSeconds, const char* socketPath = nullptr);

    // `json` must be a JSON object; false for a null type or empty text.
    bool SendEvent(const char* type, const std::string& json);
    // Calls `method` of object `path`; `reply` runs on this thread, before Invoke returns,
    // with the answer (not at all when the method answers with no data). Empty `args`
    // sends an empty table. An object that cannot be looked up is named with the status in
    // the process's log at error severity, once until a lookup finds it again.
    bool Invoke(const char* path, const char* method, const std::string& args,
                Reply reply = nullptr);
    // The failure lines write the arguments as "<hidden>": for calls that carry secrets.
    void HideArgs(bool hide) { hide_args = hide; }

  private:
    int timeout;  // milliseconds
    bool hide_args = false;
};

// Events sent over one long-lived Sender. One connection keeps the events in the order they
// were sent: events sent over two connections in a row may overtake each other on the bus. A
// send that fails on a connection opened earlier (the bus may have restarted since) is tried
// once more on a new one. One thread only.
class EventSender {
  public:
    explicit EventSender(int timeoutSeconds = 30, const char* socketPath = nullptr);
    ~EventSender();

    bool SendEvent(const char* type, const std::string& json);
    // Closes the connection, if one is open; the next send opens a new one.
    void Release();
    // Connections opened so far.
    uint64_t Opened() const { return opened_; }

  private:
    int timeout_;
    const char* socketPath_;
    std::unique_ptr<Sender> sender_;
    uint64_t opened_ = 0;
};

}  // namespace ubus
