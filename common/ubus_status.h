#pragma once

namespace ubus {

// ubus status codes, as ubusd and libubus number them.
enum Status : int {
    kStatusOk = 0,
    kStatusInvalidCommand = 1,
    kStatusInvalidArgument = 2,
    kStatusMethodNotFound = 3,
    kStatusNotFound = 4,
    kStatusNoData = 5,
    kStatusPermissionDenied = 6,
    kStatusTimeout = 7,
    kStatusNotSupported = 8,
    kStatusUnknownError = 9,
    kStatusConnectionFailed = 10,
    kStatusNoMemory = 11,
    kStatusParseError = 12,
    kStatusSystemError = 13,
};

// The text ubus_strerror gives for a status ("Unknown error" outside the table).
const char* StrError(int status);

}  // namespace ubus
