#include "status_snapshot.h"

#include <exception>

#include "skeleton.h"

namespace status {

Snapshot::Snapshot(std::string version, timer::TimeSource& time)
    : version_(std::move(version)), time_(time), start_(time.Now()), due_(start_) {}

bool Snapshot::Due() {
    const auto now = time_.Now();
    if (now < due_)
        return false;
    due_ = now + kRefresh;
    return true;
}

void Snapshot::Set(const std::string& method, const nlohmann::json& body) {
    // Printed on the main loop; invalid UTF-8 from a peer is replaced, never thrown.
    auto text = std::make_shared<const std::string>(
        body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[method] = std::move(text);
}

std::string Snapshot::Answer(const std::string& method) const {
    std::shared_ptr<const std::string> text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = answers_.find(method);
        if (it != answers_.end())
            text = it->second;
    }
    const std::string body = text && text->size() > 2 && (*text)[0] == '{' ? *text : "{}";
    if (method != "status")
        return body;
    const auto uptime =
        std::chrono::duration_cast<std::chrono::seconds>(time_.Now() - start_).count();
    std::string head =
        "{\"version\":" + nlohmann::json(version_).dump() + ",\"uptime\":" + std::to_string(uptime);
    return body.size() > 2 ? head + "," + body.substr(1) : head + "}";
}

bool Snapshot::Serve(ubus::Listener& listener, const char* object,
                     const std::vector<std::string>& methods) {
    std::map<std::string, ubus::Listener::Method> table;
    for (const auto& name : methods)
        table.emplace(name, [this, name](const char*) { return Answer(name); });
    return listener.AddObject(object, std::move(table));
}

std::string PackageVersion(const std::string& package) {
    std::string version;
    try {
        version = skeleton::PackageVersion(package);
    } catch (const std::exception&) {
        // no shell to ask
    }
    return version.empty() ? "unknown" : version;
}

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

nlohmann::json UnixTime(std::chrono::system_clock::time_point when) {
    if (when.time_since_epoch().count() == 0)
        return nullptr;
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

}  // namespace status
