#include "ubus_blob_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "ubus_payload.h"

namespace ubus::blob {

namespace {

// Length of the UTF-8 sequence at `p`, 0 when it is not one: overlong forms, surrogates and
// code points past U+10FFFF included, as a JSON parser refuses them.
size_t Utf8Length(const unsigned char* p) {
    if (p[0] < 0x80)
        return 1;
    size_t len;
    uint32_t cp;
    if ((p[0] & 0xE0) == 0xC0) {
        len = 2;
        cp = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        len = 3;
        cp = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        len = 4;
        cp = p[0] & 0x07;
    } else {
        return 0;
    }
    // The terminating zero is no continuation byte, so this stops at the string's end.
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// As blobmsg_format_json escapes: the two that must be, and control characters. False for
// text that is not UTF-8, which no JSON reader takes.
bool PutString(std::string& out, const char* s) {
    out += '"';
    for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p;) {
        const unsigned char c = *p;
        if (c >= 0x80) {
            const size_t len = Utf8Length(p);
            if (len == 0)
                return false;
            out.append(reinterpret_cast<const char*>(p), len);
            p += len;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < ' ') {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\u%04x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
                break;
        }
        ++p;
    }
    out += '"';
    return true;
}

void PutDouble(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, d);
    const std::string text(buf, result.ptr);
    out += text;
    // "2" would read back as an integer.
    if (text.find_first_of(".e") == std::string::npos)
        out += ".0";
}

// blobmsg numbers travel big-endian.
uint64_t BigEndian(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

bool PutMembers(std::string& out, const blob_attr* first, size_t len, bool array, int level);

// A value at `level` (the top-level object is level 1).
bool PutValue(std::string& out, const blob_attr* attr, int level) {
    if (level > payload::kMaxLevels)
        return false;
    const void* data = blobmsg_data(attr);
    const size_t len = blobmsg_data_len(attr);
    // Sizes checked here as well, whatever libubox's own check covers in its version.
    switch (blob_id(attr)) {
        case BLOBMSG_TYPE_UNSPEC:
            out += "null";
            return true;
        case BLOBMSG_TYPE_BOOL:
            if (len != 1)
                return false;
            out += *static_cast<const uint8_t*>(data) ? "true" : "false";
            return true;
        case BLOBMSG_TYPE_INT16:
            if (len != 2)
                return false;
            out += std::to_string(static_cast<int16_t>(BigEndian(data, 2)));
            return true;
        case BLOBMSG_TYPE_INT32:
            if (len != 4)
                return false;
            out += std::to_string(static_cast<int32_t>(BigEndian(data, 4)));
            return true;
        case BLOBMSG_TYPE_INT64:
            if (len != 8)
                return false;
            out += std::to_string(static_cast<int64_t>(BigEndian(data, 8)));
            return true;
        case BLOBMSG_TYPE_DOUBLE: {
            if (len != 8)
                return false;
            const uint64_t bits = BigEndian(data, 8);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            PutDouble(out, d);
            return true;
        }
        case BLOBMSG_TYPE_STRING:
            if (len == 0 || static_cast<const char*>(data)[len - 1] != '\0')
                return false;
            return PutString(out, static_cast<const char*>(data));
        case BLOBMSG_TYPE_ARRAY:
            return PutMembers(out, static_cast<const blob_attr*>(data), len, true, level);
        case BLOBMSG_TYPE_TABLE:
            return PutMembers(out, static_cast<const blob_attr*>(data), len, false, level);
        default:
            return false;
    }
}

// The members of a container at `level`. A member that does not fit its container, or
// whose header or name is broken, fails the whole message.
bool PutMembers(std::string& out, const blob_attr* first, size_t len, bool array, int level) {
    out += array ? '[' : '{';
    const blob_attr* pos = first;
    size_t rem = len;
    bool any = false;
    while (rem >= sizeof(blob_attr)) {
        const size_t padded = blob_pad_len(pos);
        if (padded < sizeof(blob_attr) || padded > rem)
            return false;
        if (!blobmsg_check_attr(pos, false))
            return false;
        if (any)
            out += ',';
        if (!array) {
            // A table member without a name header has no key to print.
            if (!blob_is_extended(pos))
                return false;
            if (!PutString(out, blobmsg_name(pos)))
                return false;
            out += ':';
        }
        if (!PutValue(out, pos, level + 1))
            return false;
        any = true;
        rem -= padded;
        pos = blob_next(pos);
    }
    out += array ? ']' : '}';
    return true;
}

}  // namespace

bool ToJson(const blob_attr* msg, std::string& out) {
    out.clear();
    if (msg == nullptr)
        return false;
    // libubus sends the data blob plain; one with a name header from another sender is read
    // only when that header fits it. A top level that is an array is no JSON object.
    if (blob_is_extended(msg) &&
        (!blobmsg_check_attr(msg, false) || blobmsg_type(msg) == BLOBMSG_TYPE_ARRAY))
        return false;
    return PutMembers(out, static_cast<const blob_attr*>(blobmsg_data(msg)), blobmsg_data_len(msg),
                      false, 1);
}

}  // namespace ubus::blob
