#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace mailbox {

// Codes shared by every daemon; 3007 and up are numbered per daemon.
enum Code : int32_t {
    kHeartbeatReceived = 3000,
    kHeartbeatExpire = 3001,
    kErrorReported = 3002,
    kWlanDisconnected = 3003,
    kWlanConnected = 3004,
    kInternetDisconnected = 3005,
    kInternetConnected = 3006,
};

// A code and an optional heap payload. The payload's deleter travels with it, so a
// message that is dropped unhandled never leaks, and the consumer only names the type.
struct Message {
    int32_t code = 0;
    std::shared_ptr<void> data;

    Message() = default;
    explicit Message(int32_t c) : code(c) {}
    Message(int32_t c, std::shared_ptr<void> d) : code(c), data(std::move(d)) {}

    template <typename T>
    T* As() const {
        return static_cast<T*>(data.get());
    }
};

template <typename T, typename... Args>
Message Make(int32_t code, Args&&... args) {
    return Message(code, std::make_shared<T>(std::forward<Args>(args)...));
}

}  // namespace mailbox
