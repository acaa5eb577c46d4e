#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The package's cryptography over OpenSSL's EVP interface.

// The first `out_length` bytes of the SHAKE256 output of `data`. Nothing for a null `data`,
// a zero `out_length` or a failure of the library.
std::optional<std::vector<unsigned char>> SHAKE256Hash(const uint8_t* data, const size_t& length,
                                                       size_t out_length);
// As above; nothing for empty `data`.
std::optional<std::vector<unsigned char>> SHAKE256Hash(const std::vector<unsigned char>& data,
                                                       size_t out_length);

// AES-256 in CBC mode with PKCS#7 padding, under the IV given at construction.
class AES256_CBC {
  public:
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kBlockSize = 16;

    explicit AES256_CBC(std::vector<unsigned char> iv) : iv(std::move(iv)) {}
    virtual ~AES256_CBC() = default;

    // Nothing (and an error record) for a key that is not 32 bytes or an IV that is not 16.
    std::optional<std::vector<unsigned char>> Encrypt(const std::vector<unsigned char>& key,
                                                      const std::vector<unsigned char>& data) const;
    // Also nothing when the padding does not check out: a wrong key or damaged data.
    std::optional<std::vector<unsigned char>> Decrypt(const std::vector<unsigned char>& key,
                                                      const std::vector<unsigned char>& data) const;

  private:
    std::optional<std::vector<unsigned char>> Run(bool encrypt,
                                                  const std::vector<unsigned char>& key,
                                                  const std::vector<unsigned char>& data) const;

    std::vector<unsigned char> iv;
};
