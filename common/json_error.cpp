#include "json_error.h"

#include <nlohmann/json.hpp>

std::string JsonErrorText(const std::exception& e) {
    const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&e);
    if (parse == nullptr)
        return e.what();  // type and member errors name no input, only types and our keys
    // "[json.exception.parse_error.101] parse error at line 1, column 17: <kind>; last read: ..."
    std::string kind = parse->what();
    const auto colon = kind.find(": ");
    kind = colon == std::string::npos ? std::string() : kind.substr(colon + 2);
    kind = kind.substr(0, kind.find("; last read"));
    std::string text = "parse error at byte " + std::to_string(parse->byte);
    return kind.empty() ? text : text + ": " + kind;
}
