#include "ubus_payload.h"

#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace ubus::payload {

namespace {

using nlohmann::json;

// Writes the compact text while the parser reads, one container per level. An ordered DOM
// looks every member name up in a list, which made an object of 100k members take seconds.
class Compactor : public nlohmann::json_sax<json> {
  public:
    bool null() override { return Value("null"); }
    bool boolean(bool v) override { return Value(v ? "true" : "false"); }
    bool number_integer(number_integer_t v) override { return Value(json(v).dump()); }
    bool number_unsigned(number_unsigned_t v) override { return Value(json(v).dump()); }
    bool number_float(number_float_t v, const string_t&) override { return Value(json(v).dump()); }
    bool string(string_t& v) override { return Value(json(std::move(v)).dump()); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        levels_.emplace_back();
        levels_.back().object = true;
        return true;
    }
    bool key(string_t& name) override {
        levels_.back().key = std::move(name);
        return true;
    }
    bool end_object() override {
        Level level = std::move(levels_.back());
        levels_.pop_back();
        std::string text = "{";
        for (std::size_t i = 0; i < level.members.size(); ++i) {
            if (i > 0)
                text += ',';
            text += json(level.names[i]).dump();
            text += ':';
            text += level.members[i];
        }
        text += '}';
        return Value(std::move(text));
    }
    bool start_array(std::size_t) override {
        levels_.emplace_back();
        levels_.back().text = "[";
        return true;
    }
    bool end_array() override {
        std::string text = std::move(levels_.back().text);
        levels_.pop_back();
        text += ']';
        return Value(std::move(text));
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

    std::string& Result() { return result_; }

  private:
    struct Level {
        bool object = false;
        std::string text;  // an array's text so far
        // An object's members: names and value texts in their order, and where each name is.
        std::vector<std::string> names;
        std::vector<std::string> members;
        std::unordered_map<std::string, std::size_t> index;
        std::string key;
    };

    bool Value(std::string text) {
        if (levels_.empty()) {
            result_ = std::move(text);
            return true;
        }
        Level& level = levels_.back();
        if (!level.object) {
            if (level.text.size() > 1)
                level.text += ',';
            level.text += text;
            return true;
        }
        const auto [it, fresh] = level.index.emplace(level.key, level.members.size());
        if (fresh) {
            level.names.push_back(std::move(level.key));
            level.members.push_back(std::move(text));
        } else {
            level.members[it->second] = std::move(text);
        }
        return true;
    }

    std::vector<Level> levels_;
    std::string result_;
};

}  // namespace

bool ShallowEnough(const char* text) {
    int open = 0;
    bool inString = false;
    bool escaped = false;
    for (const char* p = text; *p; ++p) {
        const char c = *p;
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
            case ']':
            case '}':
                --open;
                break;
            case ',':
            case ':':
            case ' ':
            case '\t':
            case '\n':
            case '\r':
                break;
            default:
                if (open + 1 > kMaxLevels)
                    return false;
                if (c == '[' || c == '{')
                    ++open;
                else if (c == '"')
                    inString = true;
                break;
        }
    }
    return true;
}

bool CompactObject(const char* text, std::string& out) {
    const std::size_t size = std::strlen(text);
    if (size > kMaxBytes || !ShallowEnough(text))
        return false;
    // Skipping blanks is enough to tell an object from any other JSON value.
    const char* first = text + std::strspn(text, " \t\n\r");
    if (*first != '{')
        return false;
    try {
        Compactor compactor;
        if (!json::sax_parse(text, text + size, &compactor))
            return false;
        out = std::move(compactor.Result());
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

}  // namespace ubus::payload
