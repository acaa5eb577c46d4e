// The other process of the ubus tests on the router's bus, where the Python peer
// (ubus_peer.py, D-Bus only) cannot go: the same object and methods, written with this
// build's transport, and "reboot" (no data) for rpcd's "system". Methods that the router's bus
// cannot carry (an answer or an event that
// is not a JSON object blobmsg takes) fail their call instead.
//   ubus_peer OBJECT [PATTERN...]   (records events matching the patterns)

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ubus_status.h"
#include "ubus_transport.h"

namespace {

using nlohmann::ordered_json;
namespace transport = ubus::transport;

int Serve(transport::Connection& bus, const char* method, const char* args, std::string& answer,
          std::vector<std::pair<std::string, std::string>>& heard, std::string& lastText) {
    const std::string name = method;
    if (name != "raw")
        lastText = args;
    const ordered_json in = ordered_json::parse(args, nullptr, false);
    if (in.is_discarded())
        return ubus::kStatusInvalidArgument;
    auto emit = [&](const std::string& type, const std::string& text) -> int {
        if (!bus.SetPayload(text))
            return ubus::kStatusInvalidArgument;
        return bus.SendEvent(type.c_str());
    };
    if (name == "echo") {
        if (in.contains("delay"))
            std::this_thread::sleep_for(std::chrono::duration<double>(in["delay"].get<double>()));
        answer = ordered_json{{"got", in}}.dump();
    } else if (name == "nothing" || name == "clear" || name == "reboot") {
        if (name == "clear")
            heard.clear();
    } else if (name == "never") {
        // Answers long after any caller's time-out of the tests (one second).
        std::this_thread::sleep_for(std::chrono::seconds(3));
    } else if (name == "fail") {
        return ubus::kStatusInvalidArgument;
    } else if (name == "list") {
        answer = "[1,2]";
    } else if (name == "raw") {
        answer = ordered_json{{"text", lastText}}.dump();
    } else if (name == "emit") {
        const int count = in.value("count", 0);
        for (int i = 0; i < count; ++i) {
            if (const int status =
                    emit(in.value("type", ""), "{\"seq\":" + std::to_string(i) + "}"))
                return status;
        }
        answer = ordered_json{{"sent", count}}.dump();
    } else if (name == "emit_raw") {
        return emit(in.value("type", ""), in.value("text", ""));
    } else if (name == "emit_sized") {
        const auto bytes = in.value("bytes", std::size_t{8});
        return emit(in.value("type", ""), "{\"s\":\"" + std::string(bytes - 8, 'x') + "\"}");
    } else if (name == "events") {
        // Built as text so that each event's members keep their order.
        answer = "{\"events\":[";
        bool first = true;
        for (const auto& [type, data] : heard) {
            answer += (first ? "[" : ",[") + ordered_json(type).dump() + "," + data + "]";
            first = false;
        }
        answer += "]}";
    }
    return ubus::kStatusOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OBJECT [PATTERN...]\n", argv[0]);
        return 2;
    }
    // SIGTERM and SIGINT end the loop from a thread of their own.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    auto bus = transport::Connect(nullptr);
    if (!bus->Connected()) {
        std::fprintf(stderr, "ubus_peer: no bus\n");
        return 1;
    }
    std::vector<std::pair<std::string, std::string>> heard;
    std::string lastText;
    for (int i = 2; i < argc; ++i) {
        if (bus->RegisterEvent(argv[i]) != ubus::kStatusOk)
            return 1;
    }
    const std::vector<std::string> methods = {"echo",       "nothing", "never", "fail",
                                              "list",       "raw",     "emit",  "emit_raw",
                                              "emit_sized", "events",  "clear", "reboot"};
    transport::Connection& conn = *bus;
    if (bus->AddObject(argv[1], methods,
                       [&](const char* method, const char* args, std::string& answer) {
                           return Serve(conn, method, args, answer, heard, lastText);
                       }) != ubus::kStatusOk) {
        std::fprintf(stderr, "ubus_peer: cannot serve %s\n", argv[1]);
        return 1;
    }
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop, &sig);
        conn.EndLoop();
    });
    std::printf("READY\n");
    std::fflush(stdout);
    bus->RunLoop([&](const char* type, const char* json) {
        if (json != nullptr)
            heard.emplace_back(type, json);
    });
    // Ended by the bus rather than a signal: wake the stopper.
    kill(getpid(), SIGTERM);
    stopper.join();
    return 0;
}
