#include "bluetooth_le.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>

#include "log_capture.h"
#include "private_bus.h"
#include "wait_for.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LogCapture;

// The adapter side of BlueZ as far as the hub's start needs it, refusing StartDiscovery.
class FailingAdapter {
  public:
    static constexpr const char* kAdapter = "org.bluez.Adapter1";

    explicit FailingAdapter(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        connection_->requestName("org.bluez");
        root_ = sdbus::createObject(*connection_, "/");
        root_->addObjectManager();
        adapter_ = sdbus::createObject(*connection_, "/org/bluez/hci0");
        adapter_->registerProperty("Powered")
            .onInterface(kAdapter)
            .withGetter([this] { return powered_.load(); })
            .withSetter([this](const bool& on) { powered_ = on; });
        adapter_->registerMethod("SetDiscoveryFilter")
            .onInterface(kAdapter)
            .implementedAs([](const std::map<std::string, sdbus::Variant>&) {});
        adapter_->registerMethod("StartDiscovery").onInterface(kAdapter).implementedAs([] {
            throw sdbus::Error("org.bluez.Error.Failed", "Failed");
        });
        adapter_->finishRegistration();
        connection_->enterEventLoopAsync();
    }

    ~FailingAdapter() { connection_->leaveEventLoop(); }

    // What discovery would announce for a whitelisted-looking node.
    void AnnounceDevice(const std::string& path) {
        auto signal = root_->createSignal("org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
        signal << sdbus::ObjectPath(path)
               << bluez::InterfaceMap{{"org.bluez.Device1",
                                       {{"Name", sdbus::Variant(std::string("SN-C1A000000009"))}}}};
        root_->emitSignal(signal);
    }

  private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<sdbus::IObject> adapter_;
    std::atomic<bool> powered_{false};
};

// One private bus carries the host bus and stands in for the system bus.
class HubTest : public ::testing::Test {
  protected:
    HubTest() {
        LogCapture::Init("blehub_hub_test.log");
        if (const char* old = std::getenv(kSystemBus))
            previous_ = old;
        setenv(kSystemBus, bus.Address().c_str(), 1);
    }
    ~HubTest() override {
        if (previous_) {
            setenv(kSystemBus, previous_->c_str(), 1);
        } else {
            unsetenv(kSystemBus);
        }
    }

    static constexpr const char* kSystemBus = "DBUS_SYSTEM_BUS_ADDRESS";
    testing_support::PrivateBus bus;
    std::optional<std::string> previous_;
};

TEST_F(HubTest, AFailedStartLeavesTheBusLoopSoNoSignalReachesTheHubAfterwards) {
    FailingAdapter bluez(bus.Address());
    LogCapture log;
    BluetoothLE hub;

    EXPECT_EQ(hub.Run(), 0);
    EXPECT_TRUE(log.Contains("[org.bluez.Error.Failed]"));

    // Still a living object: a signal now must find nobody listening, not a handler that
    // pushes into a queue about to go.
    bluez.AnnounceDevice("/org/bluez/hci0/dev_C1_00_00_00_00_09");
    EXPECT_FALSE(
        testing_support::WaitFor([&] { return log.Contains("dev_C1_00_00_00_00_09"); }, 300ms));
}

}  // namespace
