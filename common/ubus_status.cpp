#include "ubus_status.h"

namespace ubus {

const char* StrError(int status) {
    // Same texts and order as libubus, so logs read the same on the router and the host.
    static const char* const kTexts[] = {
        "Success",
        "Invalid command",
        "Invalid argument",
        "Method not found",
        "Not found",
        "No response",
        "Permission denied",
        "Request timed out",
        "Operation not supported",
        "Unknown error",
        "Connection failed",
        "Out of memory",
        "Parsing message data failed",
        "System error",
    };
    if (status < 0 || status >= static_cast<int>(sizeof kTexts / sizeof kTexts[0])) {
        return "Unknown error";
    }
    return kTexts[status];
}

}  // namespace ubus
