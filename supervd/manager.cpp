#include "manager.h"

#include <nlohmann/json.hpp>

#include "heartbeat.h"
#include "log.h"
#include "status_event.h"
#include "uci.h"

using supervd::Lookup;

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(100);

std::unique_ptr<NVRAM> LoadSettings() {
    auto nvram = std::make_unique<NVRAM>();
    nvram->LoadAuthParams();
    nvram->LoadSysParams();
    return nvram;
}

}  // namespace

Manager::Manager() : Manager(LoadSettings(), Settings::Load(), timer::SteadyTime(), Outside()) {}

Manager::Manager(std::unique_ptr<NVRAM> settingsStore, Settings options, timer::TimeSource& clock,
                 Outside world)
    : nvram(std::move(settingsStore)),
      settings(std::move(options)),
      outside(std::move(world)),
      loop(queue, kLoopPeriod, clock),
      listener(std::make_unique<ubus::Listener>()),
      heartbeats(queue, settings.heartbeat_timeout, clock),
      recovery(
          [this](const std::string& n, const std::string& a) { return Service(n, a); },
          [this] { heartbeats.CloseHeartbeat(heartbeat::kBlehub); },
          {settings.recovery_hci, settings.recovery_start},
          {settings.recovery_backoff, settings.recovery_backoff_max, settings.recovery_healthy},
          clock),
      authorizer([this](const std::string& url, const std::vector<std::string>& headers,
                        const std::string& body) { return Post(url, headers, body); },
                 [this](const std::string& access, const std::string& refresh) {
                     return StoreTokens(access, refresh);
                 },
                 [this](const std::string& n, const std::string& a) { return Service(n, a); },
                 clock),
      probe(outside.resolve ? outside.resolve : supervd::NetMonDNS,
            [this](const std::string& host, const Lookup& lookup) { ReportLookup(host, lookup); }),
      timers(clock) {
    post_options.ca_file = nvram->ca_file;
    post_options.verify_tls = nvram->tls_verify != 0;
    post_options.keep_going = authorizer.KeepGoing();
    // The authorization answers carry two tokens; more than this is no answer of ours.
    post_options.max_body = 16384;
}

Manager::~Manager() {
    TearDown();
}

void Manager::Subscribe() {
    listener->Register("brelix.status", [this](const char* json) { ProcessUBUSHandler(json); });
    listener->Register("network.interface", [this](const char* json) { NetMonUBUSHandler(json); });
    RefreshStatus();
    snapshot.Serve(*listener, "supervd", {"status"});
    listener->ServerStart();
}

void Manager::Unsubscribe() {
    listener->Unregister("brelix.status");
    listener->Unregister("network.interface");
    listener->ServerStop();
}

void Manager::TearDown() {
    timers.CancelAll();
    probe.Close();
    authorizer.End();
    recovery.Stop();
}

void Manager::Run() {
    if (FirstBoot()) {
        LOGV << "FirstBoot";
    }
    if (!post_options.verify_tls) {
        LOGW << "TLS verification is off (tls_verify 0): the cloud's certificate is not checked";
    }
    try {
        timers.Add(kFirstCheck, [this](bool aborted) { InternetCheck(aborted); });
        Subscribe();
        loop.AfterPass([this] { RefreshStatus(); });
        loop.Run(running, [this](mailbox::Message& m) { MessageHandler(m); });
    } catch (const std::exception& e) {
        LOGE << e.what();
        running.store(false);
    }
    Unsubscribe();
    TearDown();
    LOGV << "";
}

std::size_t Manager::Pass() {
    return loop.Pass(running, [this](mailbox::Message& m) { MessageHandler(m); });
}

bool Manager::FirstBoot() const {
    return nvram->first_boot != 0 || nvram->access_token.empty();
}

void Manager::ProcessUBUSHandler(const char* json) {
    for (auto& message : supervd::ParseStatusEvent(json))
        queue.Push(std::move(message));
}

void Manager::NetMonUBUSHandler(const char* json) {
    for (auto& message : supervd::ParseInterfaceEvent(json))
        queue.Push(std::move(message));
}

void Manager::MessageHandler(mailbox::Message& message) {
    const int* code = message.As<int>();
    switch (message.code) {
        case mailbox::kHeartbeatReceived:
            if (const auto* beat = message.As<supervd::Heartbeat>()) {
                if (heartbeats.UpdateHeartbeat(beat->code, beat->pid))
                    SendState(*beat);
                if (!supervd::ServiceOfCode(beat->code).empty())
                    watched[beat->code].heartbeat = status::UnixNow();
            }
            break;
        case mailbox::kHeartbeatExpire:
            if (code != nullptr) {
                LOGE << "HEARTBEAT_EXPIRE " << *code;
                ServiceReload(*code);
            }
            break;
        case mailbox::kErrorReported:
            if (code != nullptr) {
                LOGV << *code;
                if (*code == kErrCharacteristic || *code == kErrBluez)
                    BluetoothRecover();
            }
            break;
        case mailbox::kWlanDisconnected:
            LOGV << "EVT_WLAN_DISCONNECTED";
            wlan_state = false;
            BroadcastEvent("wlan", "down");
            break;
        case mailbox::kWlanConnected:
            LOGV << "EVT_WLAN_CONNECTED";
            wlan_state = true;
            BroadcastEvent("wlan", "up");
            break;
        case mailbox::kInternetDisconnected:
            LOGV << "EVT_INTERNET_DISCONNECTED";
            InternetState(false);
            BroadcastEvent("internet", "down");
            break;
        case mailbox::kInternetConnected:
            LOGV << "EVT_INTERNET_CONNECTED";
            InternetState(true);
            BroadcastEvent("internet", "up");
            break;
        default:
            break;
    }
}

bool Manager::BroadcastEvent(const std::string& kind, const std::string& state) {
    try {
        nlohmann::json event;
        event["evt"][kind] = state;
        const std::string text = event.dump();
        LOGV << text;
        const bool sent = outside.send_event ? outside.send_event("brelix.manager", text)
                                             : loop.Events().SendEvent("brelix.manager", text);
        if (!sent) {
            LOGE << "brelix.manager " << text << " not sent";
        }
        return sent;
    } catch (const std::exception& e) {
        LOGE << e.what();
        return false;
    }
}

void Manager::SendState(const supervd::Heartbeat& beat) {
    // A process that has just started has missed the broadcasts before it: it learns the
    // state now, not at the next change or the next internet check.
    if (!wlan_state && !internet_state)
        return;  // nothing known yet: the first check broadcasts it
    LOGI << "New process " << beat.code << " (pid " << beat.pid << ") : network state sent";
    if (wlan_state)
        BroadcastEvent("wlan", *wlan_state ? "up" : "down");
    if (internet_state)
        BroadcastEvent("internet", *internet_state ? "up" : "down");
}

void Manager::ServiceReload(const int& code) {
    const std::string name = supervd::ServiceOfCode(code);
    if (!name.empty()) {
        Watched& daemon = watched[code];
        ++daemon.restarts;
        daemon.last_restart = status::UnixNow();
        Service(name, "restart");
    } else if (code == kReservedCode) {
        LOGV << "TODO: PLC";
    } else {
        LOGE << "Wrong Process Code (" << code << ")";
    }
}

void Manager::BluetoothRecover() {
    LOGV << "";
    if (!recovery.Start()) {
        LOGV << "bt_recover_...ing";
    } else {
        ++bt_recoveries;
    }
}

void Manager::InternetCheck(bool aborted) {
    if (aborted)
        return;
    // The next check is armed before this one can report: the period runs from here.
    timers.Add(settings.internet_check, [this](bool a) { InternetCheck(a); });
    if (!probe.Start(settings.probe_host)) {
        // The lookup of the last check still hangs: no answer counts as no internet.
        LOGW << "Name lookup of " << settings.probe_host << " still running, internet down";
        queue.Push(mailbox::Message(mailbox::kInternetDisconnected));
    }
}

void Manager::ReportLookup(const std::string& host, const Lookup& lookup) {
    last_lookup_ok.store(lookup.resolved);
    last_lookup.store(status::UnixNow());
    if (!lookup.resolved) {
        LOGV << "ERROR : " << host;
        queue.Push(mailbox::Message(mailbox::kInternetDisconnected));
        return;
    }
    LOGV << lookup.name;
    for (const auto& address : lookup.addresses) {
        LOGV << address;
    }
    queue.Push(mailbox::Message(mailbox::kInternetConnected));
}

void Manager::InternetState(bool up) {
    internet_state = up;
    if (up == internet_up)
        return;
    internet_up = up;
    LOGI << "Internet " << (up ? "up" : "down");
    if (up)
        MaybeAuthorize();
    else
        authorizer.Cancel();
}

void Manager::MaybeAuthorize() {
    if (!nvram->access_token.empty() || nvram->client_id.empty() || nvram->client_secret.empty() ||
        authorizer.Done())
        return;
    if (nvram->url.empty() || nvram->device_id.empty()) {
        if (!auth_incomplete_logged) {
            LOGW << "Device authorization needs sys url and device_id";
            auth_incomplete_logged = true;
        }
        return;
    }
    supervd::Authorizer::Request request;
    request.url = nvram->url;
    request.device_id = nvram->device_id;
    request.client_id = nvram->client_id;
    request.client_secret = nvram->client_secret;
    request.retry = settings.auth_retry;
    request.tries = settings.auth_tries;
    authorizer.Begin(std::move(request));
}

bool Manager::Service(const std::string& name, const std::string& action) {
    return outside.service ? outside.service(name, action) : supervd::ServiceCtrl(name, action);
}

http::Response Manager::Post(const std::string& url, const std::vector<std::string>& headers,
                             const std::string& body) {
    if (outside.post)
        return outside.post(url, headers, body);
    return http::HttpPost(url, headers, body, post_options);
}

bool Manager::StoreTokens(const std::string& access, const std::string& refresh) {
    if (outside.store_tokens)
        return outside.store_tokens(access, refresh);
    UCI uci;
    return uci.Set(NVRAM::kConfig, "auth",
                   {{"access_token", access}, {"refresh_token", refresh}}) &&
           uci.Commit(NVRAM::kConfig);
}

void Manager::RefreshStatus() {
    if (!snapshot.Due())
        return;
    const int64_t now = status::UnixNow();
    nlohmann::json daemons = nlohmann::json::object();
    for (const auto& [code, daemon] : watched) {
        daemons[supervd::ServiceOfCode(code)] = {
            {"heartbeat_age", daemon.heartbeat > 0 ? nlohmann::json(now - daemon.heartbeat)
                                                   : nlohmann::json(nullptr)},
            {"restarts", daemon.restarts},
            {"last_restart", status::UnixTime(std::chrono::system_clock::time_point(
                                 std::chrono::seconds(daemon.last_restart)))}};
    }
    const int64_t lookup = last_lookup.load();
    const char* authorization = authorizer.Running()           ? "running"
                                : authorizer.Done()            ? "done"
                                : !nvram->access_token.empty() ? "authorized"
                                : nvram->client_id.empty() || nvram->client_secret.empty()
                                    ? "not configured"
                                    : "pending";
    snapshot.Set("status",
                 {{"wlan", !wlan_state   ? "unknown"
                           : *wlan_state ? "up"
                                         : "down"},
                  {"internet", internet_up ? "up" : "down"},
                  {"last_lookup", lookup > 0 ? nlohmann::json({{"time", lookup},
                                                               {"host", settings.probe_host},
                                                               {"resolved", last_lookup_ok.load()}})
                                             : nlohmann::json(nullptr)},
                  {"daemons", std::move(daemons)},
                  {"bluetooth_recoveries", bt_recoveries},
                  {"bluetooth_recovering", recovery.Running()},
                  {"authorization", authorization}});
}
