#include "sensor_data.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using Frame = std::array<uint8_t, kSensorFrameSize>;

// type, index, format, timestamp (LE), value (LE)
Frame MakeFrame(uint8_t type, uint8_t index, uint8_t format, uint32_t ts,
                std::array<uint8_t, 4> value) {
    return {type,
            index,
            format,
            static_cast<uint8_t>(ts),
            static_cast<uint8_t>(ts >> 8),
            static_cast<uint8_t>(ts >> 16),
            static_cast<uint8_t>(ts >> 24),
            value[0],
            value[1],
            value[2],
            value[3]};
}

// Every sensor type a node may send, with its name on the wire.
struct SensorType {
    uint8_t code;
    const char* name;
};
constexpr SensorType kSensorTypes[] = {
    {1, "DT"},     {2, "AT"},  {3, "RH"},  {4, "LX"},  {5, "AP"},      {6, "NL"},
    {7, "CM"},     {8, "CD"},  {9, "ECD"}, {10, "TV"}, {11, "PM_1_0"}, {12, "PM_2_5"},
    {13, "PM_10"}, {14, "PS"}, {15, "MS"}, {16, "PH"}, {17, "EC"},     {18, "CI"},
    {19, "VI"},    {20, "SD"}, {21, "FA"}, {22, "PI"}, {23, "PO"},
};

TEST(SensorDataToJson, EveryTypeWithEachValueEncoding) {
    for (const auto& type : kSensorTypes) {
        const std::string k = type.name;
        // 4000000000 as unsigned 32-bit: 0xEE6B2800
        auto [u, iu] = SensorDataToJson(
            MakeFrame(type.code, 0, 0, 1700000000, {0x00, 0x28, 0x6B, 0xEE}).data());
        EXPECT_EQ(u.dump(), R"({"k":")" + k + R"(","ts":1700000000,"v":4000000000})");
        EXPECT_EQ(iu, 0);
        // -123456 as signed 32-bit: 0xFFFE1DC0
        auto [s, is] = SensorDataToJson(
            MakeFrame(type.code, 1, 1, 1700000001, {0xC0, 0x1D, 0xFE, 0xFF}).data());
        EXPECT_EQ(s.dump(), R"({"k":")" + k + R"(","ts":1700000001,"v":-123456})");
        EXPECT_EQ(is, 1);
        // 21.5 as a single-precision float: 0x41AC0000
        auto [f, i_f] = SensorDataToJson(
            MakeFrame(type.code, 2, 2, 1700000002, {0x00, 0x00, 0xAC, 0x41}).data());
        EXPECT_EQ(f.dump(), R"({"k":")" + k + R"(","ts":1700000002,"v":21.5})");
        EXPECT_EQ(i_f, 2);

        nlohmann::json data = u;
        data.erase("k");
        EXPECT_EQ(SensorEventPayload("AABBCCDDEEFF", u["k"], data),
                  R"({"data":{"ts":1700000000,"v":4000000000},"device_id":"AABBCCDDEEFF",)"
                  R"("sensor_type":")" +
                      k + R"("})");
    }
}

TEST(SensorDataToJson, UnsignedValueAndTimestamp) {
    auto [reading, index] = SensorDataToJson(MakeFrame(12, 0, 0, 1700000000, {35, 0, 0, 0}).data());
    EXPECT_EQ(index, 0);
    EXPECT_EQ(reading.dump(), R"({"k":"PM_2_5","ts":1700000000,"v":35})");
    EXPECT_TRUE(reading["v"].is_number_unsigned());
}

TEST(SensorDataToJson, AllOnesIsMinusOneSignedAndMaxUnsigned) {
    auto [asUnsigned, i0] =
        SensorDataToJson(MakeFrame(2, 0, 0, 1, {0xFF, 0xFF, 0xFF, 0xFF}).data());
    auto [asSigned, i1] = SensorDataToJson(MakeFrame(2, 0, 1, 1, {0xFF, 0xFF, 0xFF, 0xFF}).data());
    EXPECT_EQ(asUnsigned["v"].dump(), "4294967295");
    EXPECT_EQ(asSigned["v"].dump(), "-1");
}

TEST(SensorDataToJson, FloatIsWidenedExactly) {
    // 0.1f = 0x3DCCCCCD
    auto [reading, index] =
        SensorDataToJson(MakeFrame(2, 0, 2, 5, {0xCD, 0xCC, 0xCC, 0x3D}).data());
    EXPECT_EQ(reading.dump(), R"({"k":"AT","ts":5,"v":0.10000000149011612})");
}

TEST(SensorDataToJson, UnknownFormatCarriesNoValue) {
    for (uint8_t format : {3, 0x80, 0xFF}) {
        auto [reading, index] = SensorDataToJson(MakeFrame(3, 0, format, 7, {1, 2, 3, 4}).data());
        EXPECT_EQ(reading.dump(), R"({"k":"RH","ts":7})") << "format " << int(format);
    }
}

TEST(SensorDataToJson, TypeCodesOutsideTheTableGiveNoReading) {
    auto [zero, i0] = SensorDataToJson(MakeFrame(0, 0, 0, 1, {1, 0, 0, 0}).data());
    EXPECT_TRUE(zero.is_null());
    for (int type = 24; type <= 255; ++type) {
        auto [reading, index] =
            SensorDataToJson(MakeFrame(static_cast<uint8_t>(type), 0, 0, 1, {1, 0, 0, 0}).data());
        EXPECT_TRUE(reading.is_null()) << "type " << type;
    }
}

TEST(SensorDeviceKey, IndexZeroIsTheDeviceIdOthersGetASuffix) {
    EXPECT_EQ(SensorDeviceKey("AABBCCDDEEFF", 0), "AABBCCDDEEFF");
    EXPECT_EQ(SensorDeviceKey("AABBCCDDEEFF", 2), "AABBCCDDEEFF_2");
    EXPECT_EQ(SensorDeviceKey("AABBCCDDEEFF", 255), "AABBCCDDEEFF_255");
}

TEST(SensorEventPayload, MatchesTheWireFormatByteForByte) {
    auto [reading, index] = SensorDataToJson(MakeFrame(12, 0, 0, 1700000000, {35, 0, 0, 0}).data());
    nlohmann::json data = reading;
    data.erase("k");
    EXPECT_EQ(
        SensorEventPayload(SensorDeviceKey("AABBCCDDEEFF", index), reading["k"], data),
        R"({"data":{"ts":1700000000,"v":35},"device_id":"AABBCCDDEEFF","sensor_type":"PM_2_5"})");
}

TEST(SensorEventPayload, NoValueLeavesOnlyTheTimestamp) {
    auto [reading, index] = SensorDataToJson(MakeFrame(13, 1, 3, 9, {0, 0, 0, 0}).data());
    nlohmann::json data = reading;
    data.erase("k");
    EXPECT_EQ(SensorEventPayload(SensorDeviceKey("AABBCCDDEEFF", index), reading["k"], data),
              R"({"data":{"ts":9},"device_id":"AABBCCDDEEFF_1","sensor_type":"PM_10"})");
}

}  // namespace
