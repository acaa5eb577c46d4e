#pragma once

// The "uci" object over a private config folder, on the bus of ubus_bus.h: the platform
// stand-in on the host bus; rpcd (with uci_dirs_preload) on a private ubusd, watched by
// `ubus monitor`. Either way Requested() sees each call of "uci" as "uci METHOD ARGS -> STATUS"
// (the monitor sees every other object's calls alike, the stand-in logs its own lines).

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ubus_bus.h"

namespace testing_support {

#ifdef GATEWAY_UBUS_LIBUBUS

inline std::string Rpcd() {
    return FindProgram("GATEWAY_RPCD", GATEWAY_RPCD, GATEWAY_ON_PATH("rpcd"));
}

constexpr const char* kNoUciServer =
    "needs rpcd and the ubus command of the same ubus: put them on PATH, or name them with "
    "GATEWAY_RPCD=/path/to/rpcd and GATEWAY_UBUS_CLI=/path/to/ubus (or -DGATEWAY_RPCD=, "
    "-DGATEWAY_UBUS_CLI= at configure time)";

// The preload exists only in native builds (rpcd is not part of the cross build).
#ifdef GATEWAY_UCI_DIRS_PRELOAD
inline bool HaveUciServer() {
    return !Rpcd().empty() && !UbusCli().empty();
}
#else
#define GATEWAY_UCI_DIRS_PRELOAD ""
inline bool HaveUciServer() {
    return false;
}
#endif

class UciServer {
  public:
    // `bus` must outlive it; `configDir` holds the config files and its parent a savedir.
    UciServer(const UbusBus& bus, const std::string& configDir) {
        const std::string socket = bus.SocketPath();
        const std::string saves = configDir + ".staged";
        std::filesystem::create_directories(saves);
        monitor_.emplace(BuiltProgram({UbusCli(), "-s", socket, "monitor"}), /*quiet=*/true);
        // Its first line answers its own start: from here on it sees every call.
        const auto started = monitor_->WaitForLine("", std::chrono::seconds(30));
        if (!started)
            throw std::runtime_error("ubus monitor did not start");
        rpcd_.emplace(
            std::vector<std::string>{"/usr/bin/env", "LD_PRELOAD=" GATEWAY_UCI_DIRS_PRELOAD,
                                     "GATEWAY_UCI_CONFDIR=" + configDir,
                                     "GATEWAY_UCI_SAVEDIR=" + saves, Rpcd(), "-s", socket},
            /*quiet=*/true);
        ChildProcess wait(BuiltProgram({UbusCli(), "-s", socket, "-t", "30", "wait_for", "uci"}),
                          /*quiet=*/true);
        const auto status = wait.Wait(std::chrono::seconds(40));
        if (!status || *status != 0)
            throw std::runtime_error("rpcd's uci object did not appear");
    }

    // Ends the server: its object is gone from the bus.
    void Stop() { rpcd_.reset(); }

    // Waits for a call that starts as `line`, e.g. "uci get {...} -> 0" (the arguments as
    // compact JSON, keys sorted); calls seen before it are passed over.
    bool Requested(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (; seen_ < calls_.size(); ++seen_) {
                if (calls_[seen_].compare(0, line.size(), line) == 0) {
                    ++seen_;
                    return true;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            if (auto next = monitor_->WaitForLine("", left))
                Read(*next);
        }
    }

    // Whether a call seen so far (Requested reads them) starts with `prefix`.
    bool Saw(const std::string& prefix) const {
        for (const auto& call : calls_) {
            if (call.compare(0, prefix.size(), prefix) == 0)
                return true;
        }
        return false;
    }

  private:
    // ubus monitor prints what each client sends (<-) and receives (->): a caller's lookup
    // answer names the object's id, its invoke the method and arguments, the status it is
    // sent back closes that call (one call at a time per client).
    void Read(const std::string& line) {
        using nlohmann::json;
        // "%s %08x #%08x %14s: %s"
        if (line.size() < 38 || line.compare(36, 2, ": ") != 0)
            return;
        const bool in = line.compare(0, 2, "<-") == 0;
        const std::string client = line.substr(3, 8);
        const std::string peer = line.substr(13, 8);
        const std::string type =
            line.substr(line.find_first_not_of(' ', 22), 36 - line.find_first_not_of(' ', 22));
        const json data = json::parse(line.substr(38), nullptr, false);
        if (data.is_discarded() || !data.is_object())
            return;
        if (!in && type == "data" && data.contains("objpath") && data.contains("objid"))
            names_[data["objid"].get<int64_t>()] = data["objpath"].get<std::string>();
        if (in && type == "invoke" && peer != "00000000")
            pending_[client] = data;
        if (!in && type == "status" && peer != "00000000" && pending_.count(client)) {
            const json call = pending_[client];
            pending_.erase(client);
            const auto name = names_.find(call.value("objid", int64_t{0}));
            calls_.push_back((name != names_.end() ? name->second : "?") + " " +
                             call.value("method", "") + " " +
                             call.value("data", json::object()).dump() + " -> " +
                             std::to_string(data.value("status", -1)));
        }
    }

    std::optional<ChildProcess> monitor_;
    std::optional<ChildProcess> rpcd_;
    std::map<int64_t, std::string> names_;
    std::map<std::string, nlohmann::json> pending_;
    std::vector<std::string> calls_;
    std::size_t seen_ = 0;
};

#else

inline bool HaveUciServer() {
    return true;
}
constexpr const char* kNoUciServer = "";

// The platform stand-in, which logs each request it answers.
class UciServer {
  public:
    UciServer(const UbusBus&, const std::string& configDir)
        : platform_(std::vector<std::string>{GATEWAY_SOURCE_DIR "/sim/platform/platform",
                                             "--config-dir", configDir, "--verbose"}) {
        if (!platform_.WaitForLine("READY"))
            throw std::runtime_error("the platform stand-in did not start: " + platform_.Output());
    }

    void Stop() { platform_.Stop(); }

    bool Requested(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return platform_.WaitForLine(line, timeout).has_value();
    }

    bool Saw(const std::string& prefix) const {
        const std::string& out = platform_.Output();
        return out.compare(0, prefix.size(), prefix) == 0 ||
               out.find("\n" + prefix) != std::string::npos;
    }

  private:
    ChildProcess platform_;
};

#endif

}  // namespace testing_support

// In SetUp or a test body, before the server is started.
#define SKIP_WITHOUT_UCI_SERVER()                            \
    do {                                                     \
        SKIP_WITHOUT_UBUS_DAEMON();                          \
        if (!::testing_support::HaveUciServer())             \
            GTEST_SKIP() << ::testing_support::kNoUciServer; \
    } while (false)
