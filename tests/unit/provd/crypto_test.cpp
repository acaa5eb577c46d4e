#include "crypto.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bytes.h"
#include "log_capture.h"

using testing_support::LogCapture;

namespace {

std::vector<unsigned char> Hex(const std::string& text) {
    auto bytes = HexToBytes(text);
    EXPECT_TRUE(bytes) << text;
    return bytes.value_or(std::vector<unsigned char>());
}

std::vector<unsigned char> Text(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

class CryptoTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("provd_crypto_test.log"); }
};

// NIST's SHA-3 example values (SHAKE256) and a CAVP short-message vector.
TEST_F(CryptoTest, Shake256MatchesPublishedVectors) {
    const uint8_t none = 0;
    EXPECT_EQ(ToHex(SHAKE256Hash(&none, 0, 64).value()),
              "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762f"
              "d75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be");
    const std::vector<unsigned char> a3(200, 0xa3);
    EXPECT_EQ(ToHex(SHAKE256Hash(a3, 64).value()),
              "cd8a920ed141aa0407a22d59288652e9d9f1a7ee0c1e7c1ca699424da84a904d"
              "2d700caae7396ece96604440577da4f3aa22aeb8857f961c4cd8e06f0ae6610b");
    EXPECT_EQ(ToHex(SHAKE256Hash(Hex("0f"), 32).value()),
              "aabb07488ff9edd05d6a603b7791b60a16d45093608f1badc0c9cc9a9154f215");
}

TEST_F(CryptoTest, Shake256ShortOutputsArePrefixesOfTheLongOne) {
    const auto input = Hex("abcdef123456");
    const auto full = SHAKE256Hash(input, 32).value();
    const auto iv = SHAKE256Hash(input, 16).value();
    ASSERT_EQ(iv.size(), 16u);
    EXPECT_TRUE(std::equal(iv.begin(), iv.end(), full.begin()));
}

TEST_F(CryptoTest, Shake256RefusesNoInputAndNoOutput) {
    EXPECT_FALSE(SHAKE256Hash(nullptr, 0, 32));
    EXPECT_FALSE(SHAKE256Hash(std::vector<unsigned char>(), 32));
    EXPECT_FALSE(SHAKE256Hash(Hex("00"), 0));
}

// NIST SP 800-38A, F.2.5 CBC-AES256.Encrypt: four blocks; our output adds a padding block.
TEST_F(CryptoTest, AesCbcMatchesTheNistVector) {
    const auto key = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const AES256_CBC aes(Hex("000102030405060708090a0b0c0d0e0f"));
    const auto plain =
        Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const auto cipher = aes.Encrypt(key, plain).value();
    ASSERT_EQ(cipher.size(), 80u);
    EXPECT_EQ(ToHex(cipher.data(), 64),
              "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
              "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
    EXPECT_EQ(aes.Decrypt(key, cipher).value(), plain);
}

TEST_F(CryptoTest, AesCbcRoundTripsEveryLengthAroundABlock) {
    const auto key = SHAKE256Hash(Hex("00112233445566778899aabbccddeeff"), 32).value();
    const AES256_CBC aes(SHAKE256Hash(Hex("abcdef123456"), 16).value());
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 1000u}) {
        std::vector<unsigned char> plain(n);
        for (std::size_t i = 0; i < n; ++i)
            plain[i] = static_cast<unsigned char>(i * 7 + 3);
        const auto cipher = aes.Encrypt(key, plain).value();
        EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16) << n;
        EXPECT_EQ(aes.Decrypt(key, cipher).value(), plain) << n;
    }
}

TEST_F(CryptoTest, WrongKeyOrDamagedDataFailsThePaddingCheck) {
    const auto key = SHAKE256Hash(Hex("00112233445566778899aabbccddeeff"), 32).value();
    const auto other = SHAKE256Hash(Hex("ffeeddccbbaa99887766554433221100"), 32).value();
    const AES256_CBC aes(Hex("000102030405060708090a0b0c0d0e0f"));
    const auto cipher = aes.Encrypt(key, Text(R"({"wireless":{"ssid":"home"}})")).value();

    LogCapture log;
    // A wrong key gives a valid final padding about once in 256 tries; not for this one.
    EXPECT_FALSE(aes.Decrypt(other, cipher));
    EXPECT_TRUE(log.Contains("padding does not check out"));
    auto damaged = cipher;
    damaged.back() ^= 0x01;
    EXPECT_FALSE(aes.Decrypt(key, damaged));
    auto cut = cipher;
    cut.resize(cut.size() - 1);
    EXPECT_FALSE(aes.Decrypt(key, cut));
    EXPECT_FALSE(aes.Decrypt(key, {}));
}

TEST_F(CryptoTest, AesRefusesKeysAndIvsOfTheWrongSize) {
    const AES256_CBC aes(std::vector<unsigned char>(16, 0));
    EXPECT_FALSE(aes.Encrypt(std::vector<unsigned char>(16, 1), Text("x")));
    EXPECT_FALSE(aes.Decrypt(std::vector<unsigned char>(33, 1), std::vector<unsigned char>(16)));
    const AES256_CBC shortIv(std::vector<unsigned char>(8, 0));
    EXPECT_FALSE(shortIv.Encrypt(std::vector<unsigned char>(32, 1), Text("x")));
}

TEST_F(CryptoTest, HexToBytesReadsPairsAndRefusesOddLengthsAndNonDigits) {
    EXPECT_EQ(HexToBytes("00a1ff"), (std::vector<unsigned char>{0x00, 0xa1, 0xff}));
    EXPECT_EQ(HexToBytes("00A1FF"), (std::vector<unsigned char>{0x00, 0xa1, 0xff}));
    EXPECT_EQ(HexToBytes(""), std::vector<unsigned char>());
    for (const char* bad : {"0", "00a", "0g", "g0", "-1", "+1", " 1", "0x", "zz", "a1:b2"})
        EXPECT_FALSE(HexToBytes(bad)) << bad;
    EXPECT_FALSE(HexToBytes(std::string("a\0", 2)));
}

TEST_F(CryptoTest, ToHexWritesLowercasePairsHighNibbleFirst) {
    EXPECT_EQ(ToHex({0x00, 0x0f, 0xf0, 0xab, 0x9c}), "000ff0ab9c");
    EXPECT_EQ(ToHex(std::vector<unsigned char>()), "");
}

TEST_F(CryptoTest, ReadFileReturnsEveryByteOrNothing) {
    const std::string path = std::filesystem::temp_directory_path() / "provd_read_file_test";
    const std::string bytes("\x00\x01\xff\n\r tail", 10);
    std::ofstream(path, std::ios::binary) << bytes;
    EXPECT_EQ(ReadFile(path), std::vector<unsigned char>(bytes.begin(), bytes.end()));
    std::filesystem::remove(path);
    EXPECT_FALSE(ReadFile(path));
}

}  // namespace
