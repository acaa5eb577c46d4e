#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ubus_status.h"
#include "ubus_transport.h"

namespace ubus {

// A bus connection and, once started, the thread that runs its event loop.
class Core {
public:
    explicit Core(const char* socketPath = nullptr);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    virtual ~Core();

    bool Connected() const;
    // Starts the event loop thread.
    void ServerStart();
    // Ends the event loop (uloop_end) and waits for its thread.
    void ServerStop();

protected:
    virtual void OnEvent(const char* type, const char* json);

    std::unique_ptr<transport::Connection> ctx;

private:
    std::thread thread;
};

// Event subscriptions with one handler per event type; handlers run on the loop thread.
class Listener : public Core {
public:
    using Handler = std::function<void(const char* json)>;

    explicit Listener(const char* socketPath = nullptr);
    ~Listener() override;

    bool Register(const char* type, Handler fn);
    bool Unregister(const char* type);

protected:
    void OnEvent(const char* type, const char* json) override;

private:
    bool AddHandler(uint32_t key, Handler fn);

    std::map<uint32_t, Handler> handlers;
    std::mutex mutex;
};

// Synchronous method calls and event emission over a connection of its own.
class Sender : public Core {
public:
    using Reply = std::function<void(const char* json)>;

    explicit Sender(int timeoutSeconds, const char* socketPath = nullptr);

    bool SendEvent(const char* type, const std::string& json);
    bool Invoke(const char* path, const char* method, const std::string& args,
                Reply reply = nullptr);

private:
    int timeout;  // milliseconds
    Reply callback;
};

}  // namespace ubus
