#pragma once

#include <string>

struct blob_attr;

// Received ubus messages as JSON text. Printed here rather than by blobmsg_format_json, which
// prints doubles with %lf: 44.7592926 would arrive as 44.759293 and 1e-7 as 0.000000.
namespace ubus::blob {

// `msg` is the data of a ubus message: a blob whose payload is a list of blobmsg members.
// Writes them as one compact JSON object: strings escaped as blobmsg escapes them, integers
// and bools as they are, null kept, doubles in the shortest form that reads back as the same
// double (".0" added where that form would read back as an integer; null for NaN and the
// infinities, which JSON cannot spell). False when the blob is malformed, a string or key is
// not UTF-8, or a value sits deeper than payload::kMaxLevels.
bool ToJson(const blob_attr* msg, std::string& out);

}  // namespace ubus::blob
