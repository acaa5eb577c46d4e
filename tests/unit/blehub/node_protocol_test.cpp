#include "node_protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace node_protocol;

Bytes InfoResponse(const std::string& name, Bytes version = {1, 2, 3, 4}) {
    Bytes bytes{0x84, 0x00};
    Bytes field(10, 0);
    std::copy(name.begin(), name.end(), field.begin());
    bytes.insert(bytes.end(), field.begin(), field.end());
    bytes.insert(bytes.end(), version.begin(), version.end());
    return bytes;
}

TEST(InfoResponse, NameEndsAtTheFirstZeroAndVersionFollows) {
    NodeInfo info;
    ASSERT_EQ(ParseInfoResponse(InfoResponse("PMS", {2, 0, 11, 7}), info), InfoStatus::kOk);
    EXPECT_EQ(info.name, "PMS");
    EXPECT_EQ(info.version, (std::array<uint8_t, 4>{2, 0, 11, 7}));
}

TEST(InfoResponse, TenByteNameWithoutZeroIsTakenWhole) {
    NodeInfo info;
    ASSERT_EQ(ParseInfoResponse(InfoResponse("ABCDEFGHIJ"), info), InfoStatus::kOk);
    EXPECT_EQ(info.name, "ABCDEFGHIJ");
    EXPECT_EQ(info.version, (std::array<uint8_t, 4>{1, 2, 3, 4}));
}

TEST(InfoResponse, BytesAfterAZeroInTheNameFieldAreIgnored) {
    Bytes bytes = InfoResponse("AB");
    bytes[5] = 'X';  // after the terminating zero at offset 4
    NodeInfo info;
    ASSERT_EQ(ParseInfoResponse(bytes, info), InfoStatus::kOk);
    EXPECT_EQ(info.name, "AB");
}

TEST(InfoResponse, WrongLengthIsRejectedAndLeavesTheInfoAlone) {
    NodeInfo info;
    info.name = "before";
    Bytes shorter = InfoResponse("PMS");
    shorter.pop_back();
    Bytes longer = InfoResponse("PMS");
    longer.push_back(0);
    EXPECT_EQ(ParseInfoResponse(shorter, info), InfoStatus::kWrongSize);
    EXPECT_EQ(ParseInfoResponse(longer, info), InfoStatus::kWrongSize);
    EXPECT_EQ(ParseInfoResponse({0x84}, info), InfoStatus::kWrongSize);
    EXPECT_EQ(info.name, "before");
}

TEST(InfoResponse, OtherFirstBytesAreNotInformationWhateverTheLength) {
    NodeInfo info;
    Bytes bytes = InfoResponse("PMS");
    bytes[0] = 0x83;
    EXPECT_EQ(ParseInfoResponse(bytes, info), InfoStatus::kNotInfo);
    EXPECT_EQ(ParseInfoResponse({0x04, 0x00}, info), InfoStatus::kNotInfo);
    EXPECT_EQ(ParseInfoResponse({}, info), InfoStatus::kNotInfo);
}

TEST(Commands, BytesOnTheWire) {
    EXPECT_EQ(InfoRequest(), (Bytes{0x04, 0x00, 0x00}));
    EXPECT_EQ(ClockUpdate(0x6553F100), (Bytes{0x03, 0x01, 0x00, 0x00, 0xF1, 0x53, 0x65}));
    EXPECT_EQ(BeaconCommand(true), (Bytes{0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(BeaconCommand(false), (Bytes{0x02, 0x01, 0x00, 0x00}));
}

TEST(Commands, NodeTimeCarriesTheClockPast2038AndRefusesWhatTheWireCannotCarry) {
    EXPECT_EQ(NodeTime(0x7FFFFFFF), 0x7FFFFFFFu);
    EXPECT_EQ(NodeTime(int64_t{1} << 31), 0x80000000u);  // 2038-01-19 03:14:08
    EXPECT_EQ(NodeTime(4102444800), 4102444800u);        // 2100-01-01
    EXPECT_EQ(NodeTime(0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(NodeTime(int64_t{1} << 32), std::nullopt);  // 2106: would wrap to 1970
    EXPECT_EQ(NodeTime(-1), std::nullopt);                // time() could not tell
}

TEST(Characteristics, OnlyTheThreeNodeUuidsHaveABit) {
    // The texts as the node's firmware announces them.
    EXPECT_EQ(CharacteristicBitOf("00000002-5fe1-11ed-9b6a-0242ac120002"), kCommandBit);
    EXPECT_EQ(CharacteristicBitOf("00000003-5fe1-11ed-9b6a-0242ac120002"), kDataBit);
    EXPECT_EQ(CharacteristicBitOf("00000004-5fe1-11ed-9b6a-0242ac120002"), kFotaBit);
    EXPECT_EQ(CharacteristicBitOf("00000001-5fe1-11ed-9b6a-0242ac120002"), 0);  // the service
    EXPECT_EQ(CharacteristicBitOf("00002a19-0000-1000-8000-00805f9b34fb"), 0);
    EXPECT_EQ(CharacteristicBitOf("00000002-5FE1-11ED-9B6A-0242AC120002"), 0);  // exact text only
}

}  // namespace
