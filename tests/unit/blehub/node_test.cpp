#include "node.h"

#include <gtest/gtest.h>

#include <ctime>
#include <mutex>

#include "fake_bluez.h"
#include "log_capture.h"
#include "private_bus.h"
#include "wait_for.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LogCapture;
using testing_support::WaitFor;
using Bytes = FakeBluez::Bytes;

const Bytes kInfoRequest{0x04, 0x00, 0x00};

// The node's characteristics as its firmware names them.
constexpr const char* kCommandUuid = "00000002-5fe1-11ed-9b6a-0242ac120002";
constexpr const char* kDataUuid = "00000003-5fe1-11ed-9b6a-0242ac120002";
constexpr const char* kFotaUuid = "00000004-5fe1-11ed-9b6a-0242ac120002";

Bytes InfoResponse(const std::string& name) {
    Bytes bytes{0x84, 0x00};
    Bytes field(10, 0);
    std::copy(name.begin(), name.end(), field.begin());
    bytes.insert(bytes.end(), field.begin(), field.end());
    bytes.insert(bytes.end(), {1, 4, 2, 9});
    return bytes;
}

class NodeTest : public ::testing::Test {
  protected:
    NodeTest()
        : bluez(bus.Address()), hub(sdbus::createSessionBusConnectionWithAddress(bus.Address())) {
        LogCapture::Init("blehub_node_test.log");
        hub->enterEventLoopAsync();
        node.SetCallbacks(
            [this](const std::string& id, const bool& connected) {
                std::lock_guard<std::mutex> lock(mutex);
                connections.emplace_back(id, connected);
            },
            [this](const std::string& id, const std::vector<unsigned char>& bytes) {
                std::lock_guard<std::mutex> lock(mutex);
                frames.emplace_back(id, bytes);
            });
    }

    ~NodeTest() override { hub->leaveEventLoop(); }

    void RegisterAll() {
        node.AttachDevice(hub, FakeBluez::kDevicePath);
        node.RegisterCharacteristic(hub, kCommandUuid, FakeBluez::kCommandPath);
        node.RegisterCharacteristic(hub, kDataUuid, FakeBluez::kDataPath);
        node.RegisterCharacteristic(hub, kFotaUuid, FakeBluez::kFotaPath);
    }

    std::size_t CommandWrites() { return bluez.Writes(FakeBluez::kCommandPath).size(); }

    // The node handles an information response as it would arrive from BlueZ.
    void Respond(const Bytes& bytes) { node.CommandPropHandler("Value", sdbus::Variant(bytes)); }

    // The date the node reads: the system's unless a test sets one.
    void SetDate(int64_t unixTime) {
        std::lock_guard<std::mutex> lock(mutex);
        date = unixTime;
    }
    int64_t Date() {
        std::lock_guard<std::mutex> lock(mutex);
        return date ? *date : timer::SystemUnixTime();
    }

    testing_support::PrivateBus bus;
    FakeBluez bluez;
    std::shared_ptr<sdbus::IConnection> hub;
    timer::ManualTime time;
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> connections;
    std::vector<std::pair<std::string, std::vector<unsigned char>>> frames;
    std::optional<int64_t> date;
    Node node{"AABBCCDDEEFF", time, [this] { return Date(); }};
};

TEST_F(NodeTest, InformationRequestGoesOutWhenTheThirdCharacteristicIsRegistered) {
    node.AttachDevice(hub, FakeBluez::kDevicePath);
    node.RegisterCharacteristic(hub, kFotaUuid, FakeBluez::kFotaPath);
    node.RegisterCharacteristic(hub, kCommandUuid, FakeBluez::kCommandPath);
    EXPECT_EQ(node.CharacteristicFlag(), 5);
    // An unknown characteristic changes nothing.
    node.RegisterCharacteristic(hub, "00002a19-0000-1000-8000-00805f9b34fb", FakeBluez::kDataPath);
    EXPECT_EQ(node.CharacteristicFlag(), 5);
    node.RegisterCharacteristic(hub, kDataUuid, FakeBluez::kDataPath);
    EXPECT_EQ(node.CharacteristicFlag(), 7);

    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    EXPECT_EQ(bluez.Writes(FakeBluez::kCommandPath)[0], kInfoRequest);
    for (const char* path : {FakeBluez::kCommandPath, FakeBluez::kDataPath, FakeBluez::kFotaPath}) {
        EXPECT_EQ(bluez.NotifyStarts(path), 1) << path;
    }
}

TEST_F(NodeTest, EveryFurtherRegistrationAsksAgain) {
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    node.RegisterCharacteristic(hub, kFotaUuid, FakeBluez::kFotaPath);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 2; }));
    EXPECT_EQ(bluez.Writes(FakeBluez::kCommandPath)[1], kInfoRequest);
}

TEST_F(NodeTest, InformationResponseSetsNameAndVersionAndTheClockTwoSecondsLater) {
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));

    Respond(InfoResponse("PMS"));
    EXPECT_EQ(node.Name(), "PMS");
    EXPECT_EQ(node.Version(), (std::array<uint8_t, 4>{1, 4, 2, 9}));

    time.Advance(1999ms);
    EXPECT_FALSE(WaitFor([&] { return CommandWrites() > 1; }, 20ms));
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    time.Advance(1ms);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 2; }));
    const auto after = static_cast<uint32_t>(std::time(nullptr));

    const Bytes clock = bluez.Writes(FakeBluez::kCommandPath)[1];
    ASSERT_EQ(clock.size(), 7u);
    EXPECT_EQ(Bytes(clock.begin(), clock.begin() + 3), (Bytes{0x03, 0x01, 0x00}));
    const uint32_t epoch = clock[3] | clock[4] << 8 | clock[5] << 16 | uint32_t(clock[6]) << 24;
    EXPECT_GE(epoch, before);
    EXPECT_LE(epoch, after);

    // Then every six hours.
    time.Advance(6h - 1s);
    EXPECT_FALSE(WaitFor([&] { return CommandWrites() > 2; }, 20ms));
    time.Advance(1s);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 3; }));
    time.Advance(6h);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 4; }));
    EXPECT_EQ(bluez.Writes(FakeBluez::kCommandPath)[3][0], 0x03);
}

TEST_F(NodeTest, ClockUpdatesGoOnPast2038AndSkipADateTheNodeCannotHold) {
    LogCapture log;
    SetDate(int64_t{1} << 31);  // 2038-01-19 03:14:08
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    Respond(InfoResponse("PMS"));
    time.Advance(2s);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 2; }));
    EXPECT_EQ(bluez.Writes(FakeBluez::kCommandPath)[1],
              (Bytes{0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80}));

    // What time() of a 32-bit time_t gives past 2038: nothing goes out, and the node is
    // set six hours on all the same.
    SetDate(-1);
    time.Advance(6h);
    ASSERT_TRUE(log.WaitFor("No clock update for AABBCCDDEEFF"));
    SetDate((int64_t{1} << 31) + 12 * 3600);
    time.Advance(6h);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 3; }));
    EXPECT_EQ(bluez.Writes(FakeBluez::kCommandPath)[2],
              (Bytes{0x03, 0x01, 0x00, 0xC0, 0xA8, 0x00, 0x80}));
}

TEST_F(NodeTest, ResponsesOfWrongLengthOrCodeScheduleNoClockUpdate) {
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    Bytes shorter = InfoResponse("PMS");
    shorter.pop_back();
    Bytes otherCode = InfoResponse("PMS");
    otherCode[0] = 0x04;
    Respond(shorter);
    Respond(otherCode);
    // An odd D-Bus type is skipped as well.
    node.CommandPropHandler("Value", sdbus::Variant(std::string("PMS")));
    EXPECT_EQ(node.Name(), "");

    time.Advance(3s);
    EXPECT_FALSE(WaitFor([&] { return CommandWrites() > 1; }, 20ms));
}

TEST_F(NodeTest, DisconnectionCancelsThePendingClockUpdateAndReconnectionDoesNotRearmIt) {
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    Respond(InfoResponse("PMS"));

    node.DevicePropHandler("Connected", sdbus::Variant(false));
    node.DevicePropHandler("Connected", sdbus::Variant(true));
    time.Advance(3s);
    EXPECT_FALSE(WaitFor([&] { return CommandWrites() > 1; }, 20ms));

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0], (std::pair<std::string, bool>{"AABBCCDDEEFF", false}));
    EXPECT_EQ(connections[1], (std::pair<std::string, bool>{"AABBCCDDEEFF", true}));
}

TEST_F(NodeTest, BusSignalsReachTheHub) {
    RegisterAll();
    const Bytes frame{12, 0, 0, 0x00, 0xF1, 0x53, 0x65, 35, 0, 0, 0};
    bluez.Notify(FakeBluez::kDataPath, frame);
    // A Value of the wrong type on the data characteristic is skipped, not thrown.
    bluez.Emit(FakeBluez::kDataPath, "org.bluez.GattCharacteristic1", "Value",
               sdbus::Variant(int32_t(5)));
    bluez.Emit(FakeBluez::kDevicePath, "org.bluez.Device1", "Connected", sdbus::Variant(false));

    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !connections.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].first, "AABBCCDDEEFF");
    EXPECT_EQ(frames[0].second, frame);
    EXPECT_FALSE(connections[0].second);
    EXPECT_FALSE(node.Connected());
}

TEST_F(NodeTest, BeaconCommandReachesTheCommandCharacteristic) {
    node.BeaconUpdate(true);  // not registered yet: dropped
    RegisterAll();
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 1; }));
    node.BeaconUpdate(true);
    node.BeaconUpdate(false);
    ASSERT_TRUE(WaitFor([&] { return CommandWrites() == 3; }));
    const auto writes = bluez.Writes(FakeBluez::kCommandPath);
    EXPECT_EQ(writes[1], (Bytes{0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(writes[2], (Bytes{0x02, 0x01, 0x00, 0x00}));
}

TEST_F(NodeTest, DisconnectOnlyWhenConnected) {
    node.AttachDevice(hub, FakeBluez::kDevicePath);
    node.Disconnect();
    EXPECT_EQ(bluez.Disconnects(), 1);
    node.Disconnect();  // now reported as not connected
    EXPECT_EQ(bluez.Disconnects(), 1);
}

TEST_F(NodeTest, FailedConnectionIsReportedAsADisconnection) {
    node.OnConnectReply(sdbus::Error("org.bluez.Error.Failed", "le-connection-abort-by-local"));
    node.OnConnectReply(sdbus::Error("org.freedesktop.DBus.Error.NoReply", "timeout"));
    node.OnConnectReply(sdbus::Error("org.bluez.Error.AlreadyConnected", "Already Connected"));
    node.OnConnectReply(std::nullopt);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_FALSE(connections[0].second);
    EXPECT_FALSE(connections[1].second);
}

TEST_F(NodeTest, MissingCharacteristicsAreReportedOnceTheirTimeIsUp) {
    std::vector<std::pair<std::string, uint64_t>> missing;
    node.AttachDevice(hub, FakeBluez::kDevicePath);
    node.WatchCharacteristics(30s, [&](const std::string& id, uint64_t serial) {
        std::lock_guard<std::mutex> lock(mutex);
        missing.emplace_back(id, serial);
    });
    node.RegisterCharacteristic(hub, kCommandUuid, FakeBluez::kCommandPath);
    node.RegisterCharacteristic(hub, kDataUuid, FakeBluez::kDataPath);

    time.Advance(30s - 1ms);
    EXPECT_FALSE(WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return !missing.empty();
        },
        20ms));
    time.Advance(1ms);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !missing.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0].first, "AABBCCDDEEFF");
    EXPECT_EQ(missing[0].second, node.Serial());
}

}  // namespace
