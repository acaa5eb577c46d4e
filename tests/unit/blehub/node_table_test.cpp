#include "node_table.h"

#include <gtest/gtest.h>

#include "fake_bluez.h"
#include "private_bus.h"

namespace {

class NodeTableTest : public ::testing::Test {
  protected:
    NodeTableTest()
        : bluez(bus.Address()), hub(sdbus::createSessionBusConnectionWithAddress(bus.Address())) {
        hub->enterEventLoopAsync();
    }
    ~NodeTableTest() override {
        DeleteAllNode();
        hub->leaveEventLoop();
    }

    void Add(const std::string& id, const std::string& path) {
        auto node = std::make_unique<Node>(id);
        node->AttachDevice(hub, path);
        AddNode(std::move(node));
    }

    testing_support::PrivateBus bus;
    FakeBluez bluez;
    std::shared_ptr<sdbus::IConnection> hub;
};

TEST_F(NodeTableTest, FindByDeviceId) {
    Add("AAAAAAAAAAAA", "/org/bluez/hci0/dev_AA_AA_AA_AA_AA_AA");
    Add("BBBBBBBBBBBB", "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    ASSERT_TRUE(FindNode("BBBBBBBBBBBB"));
    EXPECT_EQ(FindNode("BBBBBBBBBBBB")->DevicePath(), "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    EXPECT_FALSE(FindNode("CCCCCCCCCCCC"));
    EXPECT_FALSE(FindNode(""));
}

TEST_F(NodeTableTest, FindByPathPrefix) {
    Add("AAAAAAAAAAAA", "/org/bluez/hci0/dev_AA_AA_AA_AA_AA_AA");
    Add("BBBBBBBBBBBB", "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    auto& node = FindNodeByPath("/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB/service0010/char0011");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->DeviceId(), "BBBBBBBBBBBB");
    EXPECT_FALSE(FindNodeByPath("/org/bluez/hci0/dev_CC_CC_CC_CC_CC_CC/service0010/char0011"));
    EXPECT_FALSE(FindNodeByPath("/org/bluez"));
}

TEST_F(NodeTableTest, APathThatPrefixesAnotherMatchesTheOthersCharacteristicsToo) {
    // Text prefix only: the first node in the table whose path leads the other's wins.
    Add("SHORTSHORT00", "/org/bluez/hci0/dev_AA");
    Add("AAAAAAAAAAAA", "/org/bluez/hci0/dev_AA_AA_AA_AA_AA_AA");
    EXPECT_EQ(
        FindNodeByPath("/org/bluez/hci0/dev_AA_AA_AA_AA_AA_AA/service0010/char0011")->DeviceId(),
        "SHORTSHORT00");
}

TEST_F(NodeTableTest, DeleteGivesThePathAndDisconnects) {
    Add("AAAAAAAAAAAA", FakeBluez::kDevicePath);
    Add("BBBBBBBBBBBB", "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    EXPECT_EQ(DeleteNode("AAAAAAAAAAAA"), std::optional<std::string>(FakeBluez::kDevicePath));
    EXPECT_EQ(bluez.Disconnects(), 1);
    EXPECT_FALSE(FindNode("AAAAAAAAAAAA"));
    EXPECT_EQ(NodeCount(), 1u);
    EXPECT_EQ(DeleteNode("AAAAAAAAAAAA"), std::nullopt);
}

TEST_F(NodeTableTest, DeleteAllSurvivesNodesBlueZNoLongerKnows) {
    // The second device has no object in BlueZ: its disconnection fails and is logged.
    Add("AAAAAAAAAAAA", FakeBluez::kDevicePath);
    Add("BBBBBBBBBBBB", "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    Add("CCCCCCCCCCCC", "/org/bluez/hci0/dev_CC_CC_CC_CC_CC_CC");
    DeleteAllNode();
    EXPECT_EQ(NodeCount(), 0u);
    EXPECT_EQ(bluez.Disconnects(), 1);
}

TEST_F(NodeTableTest, DropAllSaysNothingToBlueZAndGivesTheIds) {
    // After the adapter went there is nobody to tell: no Disconnect, even for a node
    // BlueZ would still report connected.
    Add("AAAAAAAAAAAA", FakeBluez::kDevicePath);
    Add("BBBBBBBBBBBB", "/org/bluez/hci0/dev_BB_BB_BB_BB_BB_BB");
    EXPECT_EQ(DropAllNode(), (std::vector<std::string>{"AAAAAAAAAAAA", "BBBBBBBBBBBB"}));
    EXPECT_EQ(NodeCount(), 0u);
    EXPECT_EQ(bluez.Disconnects(), 0);
    EXPECT_EQ(DropAllNode(), std::vector<std::string>{});
}

}  // namespace
