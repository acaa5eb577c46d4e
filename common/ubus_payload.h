#pragma once

#include <cstddef>
#include <string>

// What a ubus payload may be, on either bus: a JSON object (blobmsg carries nothing else)
// no value of which sits deeper than blobmsg's JSON reader takes.
namespace ubus::payload {

// json-c, the reader behind blobmsg, takes a value at most 32 levels deep, the top-level
// object being level 1 (its members' values are level 2). Both buses refuse deeper
// payloads in either direction, so one from another process cannot recurse a thread's
// stack away while it is parsed or printed.
constexpr int kMaxLevels = 32;

// ubusd's UBUS_MAX_MSGLEN: the largest message the router's bus carries. The host bus holds
// received payloads to the same bound, so a daemon meets no bigger event on either; a bigger
// one is dropped before it is parsed.
constexpr std::size_t kMaxBytes = 1048576;

// Whether no value of the JSON text sits deeper than kMaxLevels (the text need not be valid).
bool ShallowEnough(const char* text);

// The text as compact JSON, members in their order (a repeated name keeps its first place and
// its last value, as blobmsg's reader does); false when it is not a JSON object within
// kMaxLevels and kMaxBytes. Time and memory are linear in the size of the text.
bool CompactObject(const char* text, std::string& out);

}  // namespace ubus::payload
