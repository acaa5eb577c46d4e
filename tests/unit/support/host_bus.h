#pragma once

#include <gtest/gtest.h>

// Tests that need the host bus (a private dbus-daemon, and the stand-ins and peers on it) run
// only in builds with the D-Bus transport; a build for the router's libubus skips them.
namespace testing_support {

#ifdef UBUS_HOST_BUS
constexpr bool kHostBus = true;
#else
constexpr bool kHostBus = false;
#endif

}  // namespace testing_support

// In SetUp or a test body.
#define SKIP_WITHOUT_HOST_BUS()                             \
    do {                                                    \
        if (!::testing_support::kHostBus)                   \
            GTEST_SKIP() << "needs the host bus transport"; \
    } while (false)
