#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The system's "uci" object: one synchronous call per operation. Changes are staged by
// the system until Commit.
class UCI {
  public:
    explicit UCI(int timeoutSeconds = 30) : timeout_(timeoutSeconds) {}
    virtual ~UCI() = default;

    // The values of set requests, and the arguments in the failure lines, are logged as
    // "<hidden>": for settings that carry secrets.
    void HideValues(bool hide) { hide_values_ = hide; }

    // The "values" member of the answer: options of one section; null when there is none.
    nlohmann::json Get(const std::string& config, const std::string& section);
    // The "values" member of the answer: sections of a type (matching `match` when it is a
    // non-empty object), keyed by section name; null when there is none.
    nlohmann::json Get(const std::string& config, const std::string& type,
                       const nlohmann::json& match);
    bool Set(const std::string& config, const std::string& section, const nlohmann::json& values);
    bool Set(const std::string& config, const std::string& type, const nlohmann::json& match,
             const nlohmann::json& values);
    bool Add(const std::string& config, const std::string& type, const nlohmann::json& values);
    bool Rename(const std::string& config, const std::string& section, const std::string& name);
    bool Delete(const std::string& config, const std::string& type, const nlohmann::json& match);
    bool Commit(const std::string& config);
    // Drops the changes staged for `config`.
    bool Revert(const std::string& config);

  private:
    bool Call(const char* method, const nlohmann::json& args, nlohmann::json* values);

    int timeout_;
    bool hide_values_ = false;
};
