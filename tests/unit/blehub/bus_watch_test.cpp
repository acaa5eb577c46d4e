#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "bus_loop.h"
#include "private_bus.h"
#include "wait_for.h"

namespace {

using testing_support::WaitFor;

TEST(BusLoop, ALostBusEndsTheLoopThroughItsCallback) {
    testing_support::PrivateBus bus;
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.Address());
    std::mutex mutex;
    std::vector<std::string> errors;
    BusLoop loop(*connection, [&](const std::string& error) {
        std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(error);
    });
    loop.Start();

    // The bus daemon goes: sd-bus reports the reset as an error out of its event loop.
    bus.Restart();

    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !errors.empty();
    }));
    loop.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("org.freedesktop.DBus.Error.Disconnected"), std::string::npos)
        << errors[0];
}

TEST(BusLoop, StopLeavesARunningLoopWithoutCallingBack) {
    testing_support::PrivateBus bus;
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.Address());
    bool lost = false;
    BusLoop loop(*connection, [&](const std::string&) { lost = true; });
    loop.Start();
    loop.Stop();
    loop.Stop();
    EXPECT_FALSE(lost);
}

}  // namespace
