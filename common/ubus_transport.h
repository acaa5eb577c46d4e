#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The one seam between the ubus classes and the bus that carries them: libubus on the
// router, a private D-Bus daemon on a development host. Exactly one implementation is
// linked into the runtime library (chosen at build time).
namespace ubus::transport {

// `json` is the payload as compact JSON object text, or nullptr when the payload is not one
// that blobmsg takes (not an object, nested too deep, malformed): the event is dropped.
using EventFn = std::function<void(const char* type, const char* json)>;
using ReplyFn = std::function<void(const char* json)>;
// A served object's methods: runs on the loop thread with the method's name and its argument
// object; gives a ubus status and sets `answer` to the reply object ("" for no data).
using MethodFn = std::function<int(const char* method, const char* json, std::string& answer)>;

class Connection {
  public:
    virtual ~Connection() = default;

    virtual bool Connected() const = 0;

    // Request message under construction (libubus: the blob_buf).
    // Replaces it with the JSON object text; false when the text is not a JSON object.
    virtual bool SetPayload(const std::string& json) = 0;
    // Replaces it with an empty table.
    virtual void ClearPayload() = 0;

    // Sends the current payload as an event; returns a ubus status.
    virtual int SendEvent(const char* type) = 0;
    // Resolves an object name; returns a ubus status.
    virtual int Lookup(const char* path, uint32_t& id) = 0;
    // Calls a method with the current payload and waits for the answer on this thread.
    // `reply` runs here, before Invoke returns, once per data message of the answer; an
    // answer that is not a JSON object blobmsg takes fails the call (kStatusParseError).
    virtual int Invoke(uint32_t id, const char* method, int timeoutMs, const ReplyFn& reply) = 0;

    // Subscribes to an event type (a trailing '*' matches a prefix); returns a ubus status.
    virtual int RegisterEvent(const char* pattern) = 0;
    // Makes object `name` with `methods` callable by others; the calls are answered on the
    // loop thread (RunLoop) through `fn`, a call of any other method with status 3. Returns a
    // ubus status.
    virtual int AddObject(const char* name, const std::vector<std::string>& methods,
                          MethodFn fn) = 0;
    enum class LoopEnd { kEnded, kLost };
    // Runs the event loop on the calling thread until EndLoop (kEnded; also at once without a
    // connection) or until the bus hangs up (kLost: the connection is of no further use).
    // Events go to `onEvent`, method calls of served objects to their MethodFn.
    virtual LoopEnd RunLoop(const EventFn& onEvent) = 0;
    // Ends RunLoop; safe from any thread, also before RunLoop started.
    virtual void EndLoop() = 0;
};

// Opens a connection; `path` is the bus socket (nullptr: the default one).
std::unique_ptr<Connection> Connect(const char* path);

// The text of a ubus status as this bus words it (libubus: ubus_strerror).
const char* StatusText(int status);

}  // namespace ubus::transport
