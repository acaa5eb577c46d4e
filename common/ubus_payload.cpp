#include "ubus_payload.h"

#include <nlohmann/json.hpp>

namespace ubus::payload {

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
    if (!ShallowEnough(text))
        return false;
    try {
        const auto value = nlohmann::ordered_json::parse(text);
        if (!value.is_object())
            return false;
        out = value.dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

}  // namespace ubus::payload
