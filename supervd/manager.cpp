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
      recovery([this](const std::string& n, const std::string& a) { return Service(n, a); },
               [this] { heartbeats.CloseHeartbeat(heartbeat::kBlehub); },
               {settings.recovery_hci, settings.recovery_start}, clock),
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
}

Manager::~Manager() {
    TearDown();
}

void Manager::Subscribe() {
    listener->Register("brelix.status", [this](const char* json) { ProcessUBUSHandler(json); });
    listener->Register("network.interface", [this](const char* json) { NetMonUBUSHandler(json); });
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
            if (code != nullptr)
                heartbeats.UpdateHeartbeat(*code);
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
            BroadcastEvent("wlan", "down");
            break;
        case mailbox::kWlanConnected:
            LOGV << "EVT_WLAN_CONNECTED";
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

void Manager::ServiceReload(const int& code) {
    const std::string name = supervd::ServiceOfCode(code);
    if (!name.empty()) {
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
