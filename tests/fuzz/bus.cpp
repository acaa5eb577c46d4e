#include "bus.h"

#include <cstring>
#include <mutex>

#include "log.h"
#include "ubus_payload.h"
#include "ubus_status.h"
#include "ubus_transport.h"

namespace fuzz {

namespace {

struct State {
    std::mutex mutex;
    std::string reply;
    std::vector<SentEvent> sent;
};

State& state() {
    static State s;
    return s;
}

class Connection : public ubus::transport::Connection {
  public:
    bool Connected() const override { return true; }

    bool SetPayload(const std::string& json) override {
        return ubus::payload::CompactObject(json.c_str(), payload_);
    }
    void ClearPayload() override { payload_ = "{}"; }

    int SendEvent(const char* type) override {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().sent.push_back({type, payload_});
        return ubus::kStatusOk;
    }

    int Lookup(const char*, uint32_t& id) override {
        id = 1;
        return ubus::kStatusOk;
    }

    int Invoke(uint32_t, const char*, int, const ubus::transport::ReplyFn& reply) override {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            text = state().reply;
        }
        if (text.empty())
            return ubus::kStatusOk;
        std::string answer;
        if (!ubus::payload::CompactObject(text.c_str(), answer))
            return ubus::kStatusParseError;
        reply(answer.c_str());
        return ubus::kStatusOk;
    }

    int RegisterEvent(const char*) override { return ubus::kStatusOk; }
    int AddObject(const char*, const std::vector<std::string>&,
                  ubus::transport::MethodFn) override {
        return ubus::kStatusOk;
    }
    LoopEnd RunLoop(const ubus::transport::EventFn&) override { return LoopEnd::kEnded; }
    void EndLoop() override {}

  private:
    std::string payload_ = "{}";
};

}  // namespace

void SetReply(const std::string& text) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().reply = text;
}

std::vector<SentEvent> TakeSent() {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::vector<SentEvent> out;
    out.swap(state().sent);
    return out;
}

void Bus::Deliver(const char* type, const std::string& text) {
    std::string compact;
    OnEvent(type, ubus::payload::CompactObject(text.c_str(), compact) ? compact.c_str() : nullptr);
}

std::string CText(const uint8_t* data, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(data);
    return std::string(text, strnlen(text, size));
}

int32_t TakeInt(const uint8_t*& data, std::size_t& size) {
    uint32_t value = 0;
    for (int i = 0; i < 4 && size > 0; ++i, ++data, --size)
        value |= static_cast<uint32_t>(*data) << (8 * i);
    return static_cast<int32_t>(value);
}

void InitLogging() {
    logging::SetMaxSeverity(logging::verbose);
}

namespace {

// Never destroyed at exit: handlers may use objects that are gone by then.
Bus* event_bus = nullptr;
const char* event_type = nullptr;

}  // namespace

void ListenTo(const char* type, ubus::Listener::Handler handle) {
    InitLogging();
    event_bus = new Bus;
    event_type = type;
    event_bus->Register(type, std::move(handle));
}

void DeliverInput(const uint8_t* data, std::size_t size) {
    event_bus->Deliver(event_type, CText(data, size));
}

}  // namespace fuzz

namespace ubus::transport {

std::unique_ptr<Connection> Connect(const char*) {
    return std::make_unique<fuzz::Connection>();
}

const char* StatusText(int status) {
    return StrError(status);
}

}  // namespace ubus::transport
