// How the router's transport prints a received blob as JSON; libubox's blob functions only,
// no ubusd.

#include "ubus_blob_json.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}

namespace {

using nlohmann::ordered_json;

class BlobJsonTest : public ::testing::Test {
  protected:
    BlobJsonTest() { blob_buf_init(&buf, 0); }
    ~BlobJsonTest() override { blob_buf_free(&buf); }

    // What a listener would get for the message built in `buf`; "" when it is refused.
    std::string Printed() {
        std::string out;
        return ubus::blob::ToJson(buf.head, out) ? out : "";
    }

    std::string PrintedFromJson(const std::string& text) {
        blob_buf_init(&buf, 0);
        EXPECT_TRUE(blobmsg_add_json_from_string(&buf, text.c_str())) << text;
        return Printed();
    }

    blob_buf buf{};
};

TEST_F(BlobJsonTest, DoublesReadBackExactly) {
    // %lf would give 44.759293, 0.000000, 301 digits, 0.000000.
    const std::vector<double> values = {44.7592926,
                                        1e-7,
                                        1e300,
                                        1.5,
                                        -0.1,
                                        2.0,
                                        -0.0,
                                        5e-324,
                                        DBL_MAX,
                                        0.1 + 0.2,
                                        9007199254740993.0,
                                        std::numeric_limits<double>::min()};
    for (double v : values) {
        blob_buf_init(&buf, 0);
        blobmsg_add_double(&buf, "v", v);
        const std::string text = Printed();
        ASSERT_FALSE(text.empty()) << v;
        const auto back = ordered_json::parse(text)["v"];
        ASSERT_TRUE(back.is_number_float()) << text;  // 2.0 must not come back as 2
        const double got = back.get<double>();
        EXPECT_EQ(std::memcmp(&got, &v, sizeof v), 0) << text;
        EXPECT_LT(text.size(), 32u) << text;
    }
    blob_buf_init(&buf, 0);
    blobmsg_add_double(&buf, "a", 44.7592926);
    blobmsg_add_double(&buf, "b", 1e-7);
    blobmsg_add_double(&buf, "c", 2.0);
    EXPECT_EQ(Printed(), R"({"a":44.7592926,"b":1e-07,"c":2.0})");
}

TEST_F(BlobJsonTest, NonFiniteDoublesBecomeNull) {
    blobmsg_add_double(&buf, "nan", std::nan(""));
    blobmsg_add_double(&buf, "inf", -HUGE_VAL);
    EXPECT_EQ(Printed(), R"({"nan":null,"inf":null})");
}

TEST_F(BlobJsonTest, EveryOtherTypeAsBlobmsgPrintsIt) {
    blobmsg_add_u8(&buf, "t", 1);
    blobmsg_add_u8(&buf, "f", 0);
    blobmsg_add_u16(&buf, "i16", 0xfffe);
    blobmsg_add_u32(&buf, "i32", 0x80000000u);
    blobmsg_add_u64(&buf, "i64", 0x8000000000000000ull);
    blobmsg_add_field(&buf, BLOBMSG_TYPE_UNSPEC, "none", nullptr, 0);
    blobmsg_add_string(&buf, "s", "q\"b\\n\n\t\r\b\x01\x1f\x7f caf\xc3\xa9");
    blobmsg_add_string(&buf, "", "empty key");
    void* array = blobmsg_open_array(&buf, "list");
    blobmsg_add_u32(&buf, "ignored", 7);
    void* table = blobmsg_open_table(&buf, nullptr);
    blobmsg_close_table(&buf, table);
    void* empty = blobmsg_open_array(&buf, nullptr);
    blobmsg_close_array(&buf, empty);
    blobmsg_close_array(&buf, array);
    EXPECT_EQ(Printed(),
              "{\"t\":true,\"f\":false,\"i16\":-2,\"i32\":-2147483648,"
              "\"i64\":-9223372036854775808,\"none\":null,"
              "\"s\":\"q\\\"b\\\\n\\n\\t\\r\\b\\u0001\\u001f\x7f caf\xc3\xa9\","
              "\"\":\"empty key\",\"list\":[7,{},[]]}");
}

TEST_F(BlobJsonTest, JsonFromTheSenderReadsBackTheSame) {
    const std::string text =
        R"({"device_id":"AABBCCDDEEFF","sensor_type":"PM_2_5","data":{"ts":1700000000,)"
        R"("v":44.7592926,"big":4294967296,"neg":-5,"ok":true,"no":null,"list":[1,"2",[3.25]]}})";
    const std::string printed = PrintedFromJson(text);
    EXPECT_EQ(ordered_json::parse(printed).dump(), ordered_json::parse(text).dump());
    EXPECT_EQ(PrintedFromJson("{}"), "{}");
}

// Arrays nested `levels - 1` deep inside the top-level object, with `inner` in the deepest.
void Nest(blob_buf* buf, int levels, bool inner) {
    std::vector<void*> open;
    for (int i = 1; i < levels; ++i)
        open.push_back(blobmsg_open_array(buf, i == 1 ? "a" : nullptr));
    if (inner)
        blobmsg_add_u32(buf, nullptr, 1);
    for (auto it = open.rbegin(); it != open.rend(); ++it)
        blobmsg_close_array(buf, *it);
}

TEST_F(BlobJsonTest, NothingDeeperThanThirtyTwoLevels) {
    // The top-level object is level 1; 31 arrays reach level 32.
    Nest(&buf, 32, false);
    EXPECT_EQ(Printed(), R"({"a":)" + std::string(31, '[') + std::string(31, ']') + "}");
    blob_buf_init(&buf, 0);
    Nest(&buf, 32, true);  // the value sits at level 33
    EXPECT_EQ(Printed(), "");
    // Far deeper than a thread's stack would take, had it been followed.
    blob_buf_init(&buf, 0);
    Nest(&buf, 200000, true);
    EXPECT_EQ(Printed(), "");
}

TEST_F(BlobJsonTest, MalformedBlobsAreRefused) {
    std::string printed;
    blobmsg_add_string(&buf, "s", "text");
    blobmsg_add_u32(&buf, "n", 1);
    auto* first = static_cast<blob_attr*>(blob_data(buf.head));
    ASSERT_EQ(Printed(), R"({"s":"text","n":1})");

    // A string without its terminating zero.
    std::vector<char> saved(static_cast<char*>(blob_data(buf.head)),
                            static_cast<char*>(blob_data(buf.head)) + blob_len(buf.head));
    char* data = static_cast<char*>(blobmsg_data(first));
    data[blobmsg_data_len(first) - 1] = 'x';
    EXPECT_EQ(Printed(), "");
    std::memcpy(blob_data(buf.head), saved.data(), saved.size());

    // A member longer than what holds it.
    const uint32_t header = be32_to_cpu(first->id_len);
    first->id_len = cpu_to_be32(header + 64);
    EXPECT_EQ(Printed(), "");
    first->id_len = cpu_to_be32(header);

    // A number of the wrong size.
    blob_buf_init(&buf, 0);
    blobmsg_add_field(&buf, BLOBMSG_TYPE_INT32, "n", "\x01\x02", 2);
    EXPECT_EQ(Printed(), "");

    // A table member without a name.
    blob_buf_init(&buf, 0);
    blob_put_u32(&buf, BLOBMSG_TYPE_INT32, 1);
    EXPECT_EQ(Printed(), "");

    // Text that is not UTF-8, in a value or a key: a stray continuation byte, a sequence cut
    // short, an overlong '/', a surrogate, a code point past U+10FFFF.
    for (const char* text :
         {"a\x80", "caf\xc3", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        blob_buf_init(&buf, 0);
        blobmsg_add_string(&buf, "s", text);
        EXPECT_EQ(Printed(), "") << text;
        blob_buf_init(&buf, 0);
        blobmsg_add_u32(&buf, text, 1);
        EXPECT_EQ(Printed(), "") << text;
    }
    blob_buf_init(&buf, 0);
    blobmsg_add_string(&buf, "\xf0\x9f\x8c\xa1", "\xe2\x82\xac \xf4\x8f\xbf\xbf");
    EXPECT_EQ(Printed(), "{\"\xf0\x9f\x8c\xa1\":\"\xe2\x82\xac \xf4\x8f\xbf\xbf\"}");

    // A message whose name header claims more than the message holds.
    blob_buf_init(&buf, 0);
    blobmsg_add_u32(&buf, "n", 1);
    // Its header, a 4-byte name header ("m"), then the members.
    std::vector<uint32_t> named(2 + blob_len(buf.head) / 4);
    auto* msg = reinterpret_cast<blob_attr*>(named.data());
    blob_set_raw_len(msg, 8 + blob_len(buf.head));
    msg->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
    auto* hdr = static_cast<blobmsg_hdr*>(blob_data(msg));
    hdr->namelen = cpu_to_be16(0x8100);
    EXPECT_FALSE(ubus::blob::ToJson(msg, printed));
    hdr->namelen = cpu_to_be16(1);
    hdr->name[0] = 'm';
    std::memcpy(static_cast<char*>(blob_data(msg)) + 4, blob_data(buf.head), blob_len(buf.head));
    EXPECT_TRUE(ubus::blob::ToJson(msg, printed));
    EXPECT_EQ(printed, R"({"n":1})");

    // No message at all.
    std::string out;
    EXPECT_FALSE(ubus::blob::ToJson(nullptr, out));
}

}  // namespace
