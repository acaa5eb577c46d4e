#pragma once

#include <string>

// What a ubus payload may be, on either bus: a JSON object (blobmsg carries nothing else)
// no value of which sits deeper than blobmsg's JSON reader takes.
namespace ubus::payload {

// json-c, the reader behind blobmsg, takes a value at most 32 levels deep, the top-level
// object being level 1 (its members' values are level 2). Both buses refuse deeper
// payloads in either direction, so one from another process cannot recurse a thread's
// stack away while it is parsed or printed.
constexpr int kMaxLevels = 32;

// Whether no value of the JSON text sits deeper than kMaxLevels (the text need not be valid).
bool ShallowEnough(const char* text);

// The text as compact JSON, members in their order; false when it is not a JSON object
// within kMaxLevels.
bool CompactObject(const char* text, std::string& out);

}  // namespace ubus::payload
