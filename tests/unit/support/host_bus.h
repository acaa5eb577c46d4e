#pragma once

// Whether this build's ubus runs over the host bus (a private dbus-daemon). The few cases
// that only it can carry (payloads blobmsg cannot hold) check this; everything else runs on
// either bus (ubus_bus.h).
namespace testing_support {

#ifdef UBUS_HOST_BUS
constexpr bool kHostBus = true;
#else
constexpr bool kHostBus = false;
#endif

}  // namespace testing_support
