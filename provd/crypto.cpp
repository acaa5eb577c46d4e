#include "crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "log.h"

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

std::optional<std::vector<unsigned char>> SHAKE256Hash(const uint8_t* data, const size_t& length,
                                                       size_t out_length) {
    LOGV << "";
    if (data == nullptr || out_length == 0)
        return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx)
        return std::nullopt;
    // An extendable output: asking for 16 bytes gives the first 16 of the 32-byte output.
    std::vector<unsigned char> out(out_length);
    if (EVP_DigestInit_ex(ctx.get(), EVP_shake256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, length) != 1 ||
        EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()) != 1) {
        LOGE << "SHAKE256 failed";
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<unsigned char>> SHAKE256Hash(const std::vector<unsigned char>& data,
                                                       size_t out_length) {
    if (data.empty())
        return std::nullopt;
    return SHAKE256Hash(data.data(), data.size(), out_length);
}

std::optional<std::vector<unsigned char>> AES256_CBC::Encrypt(
    const std::vector<unsigned char>& key, const std::vector<unsigned char>& data) const {
    return Run(true, key, data);
}

std::optional<std::vector<unsigned char>> AES256_CBC::Decrypt(
    const std::vector<unsigned char>& key, const std::vector<unsigned char>& data) const {
    return Run(false, key, data);
}

std::optional<std::vector<unsigned char>> AES256_CBC::Run(
    bool encrypt, const std::vector<unsigned char>& key,
    const std::vector<unsigned char>& data) const {
    if (key.size() != kKeySize) {
        LOGE << "AES-256 key of " << key.size() << " bytes";
        return std::nullopt;
    }
    if (iv.size() != kBlockSize) {
        LOGE << "AES-CBC IV of " << iv.size() << " bytes";
        return std::nullopt;
    }
    if (data.size() > static_cast<std::size_t>(INT_MAX) - kBlockSize) {
        LOGE << "AES-256-CBC input of " << data.size() << " bytes";
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        LOGE << "EVP_CIPHER_CTX_new failed";
        return std::nullopt;
    }
    // Padding adds at most one block; decryption never grows.
    std::vector<unsigned char> out(data.size() + kBlockSize);
    int first = 0;
    int last = 0;
    const int ok = EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(),
                                     encrypt ? 1 : 0) == 1 &&
                   EVP_CipherUpdate(ctx.get(), out.data(), &first, data.data(),
                                    static_cast<int>(data.size())) == 1 &&
                   EVP_CipherFinal_ex(ctx.get(), out.data() + first, &last) == 1;
    if (!ok) {
        // Whatever came out before the padding check failed is not to be used or kept.
        OPENSSL_cleanse(out.data(), out.size());
        if (encrypt) {
            LOGE << "AES-256-CBC encryption failed";
        } else {
            LOGE << "AES-256-CBC: the padding does not check out (wrong key or damaged data)";
        }
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(first + last));
    return out;
}
