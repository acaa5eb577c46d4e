#include "uci.h"

#include <exception>

#include "json_error.h"
#include "log.h"
#include "ubus.h"

using nlohmann::json;

bool UCI::Call(const char* method, const json& args, json* values) {
    const std::string text = args.dump();
    if (hide_values_ && args.contains("values")) {
        json shown = args;
        for (auto& [name, value] : shown["values"].items()) {
            (void)name;
            value = "<hidden>";
        }
        LOGV << method << " " << shown.dump();
    } else {
        LOGV << method << " " << text;
    }
    ubus::Sender sender(timeout_);
    sender.HideArgs(hide_values_);
    return sender.Invoke("uci", method, text, [&](const char* reply) {
        if (values == nullptr)
            return;
        try {
            const json answer = json::parse(reply);
            const auto it = answer.find("values");
            if (it != answer.end())
                *values = *it;
        } catch (const std::exception& e) {
            LOGE << JsonErrorText(e);
        }
    });
}

json UCI::Get(const std::string& config, const std::string& section) {
    json values;
    Call("get", {{"config", config}, {"section", section}}, &values);
    return values;
}

json UCI::Get(const std::string& config, const std::string& type, const json& match) {
    json args = {{"config", config}, {"type", type}};
    if (match.is_object() && !match.empty())
        args["match"] = match;
    json values;
    Call("get", args, &values);
    return values;
}

bool UCI::Set(const std::string& config, const std::string& section, const json& values) {
    return Call("set", {{"config", config}, {"section", section}, {"values", values}}, nullptr);
}

bool UCI::Set(const std::string& config, const std::string& type, const json& match,
              const json& values) {
    return Call("set", {{"config", config}, {"type", type}, {"match", match}, {"values", values}},
                nullptr);
}

bool UCI::Add(const std::string& config, const std::string& type, const json& values) {
    return Call("add", {{"config", config}, {"type", type}, {"values", values}}, nullptr);
}

bool UCI::Rename(const std::string& config, const std::string& section, const std::string& name) {
    return Call("rename", {{"config", config}, {"section", section}, {"name", name}}, nullptr);
}

bool UCI::Delete(const std::string& config, const std::string& type, const json& match) {
    return Call("delete", {{"config", config}, {"type", type}, {"match", match}}, nullptr);
}

bool UCI::Commit(const std::string& config) {
    return Call("commit", {{"config", config}}, nullptr);
}

bool UCI::Revert(const std::string& config) {
    return Call("revert", {{"config", config}}, nullptr);
}
