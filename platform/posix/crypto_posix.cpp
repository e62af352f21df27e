// Native implementation of the crypto primitives over OpenSSL libcrypto (EVP).
#include "platform/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>

namespace bv::crypto {

struct AesEncryptor::Impl {
    EVP_CIPHER_CTX* ctx = nullptr;
    ~Impl() {
        if (ctx) EVP_CIPHER_CTX_free(ctx);
    }
};

AesEncryptor::AesEncryptor() : impl_(std::make_unique<Impl>()) {}
AesEncryptor::~AesEncryptor() = default;

bool AesEncryptor::SetKey(const uint8_t* key, size_t length) {
    const EVP_CIPHER* cipher = length == 16   ? EVP_aes_128_ecb()
                               : length == 24 ? EVP_aes_192_ecb()
                               : length == 32 ? EVP_aes_256_ecb()
                                              : nullptr;
    if (!cipher) return false;
    if (!impl_->ctx) impl_->ctx = EVP_CIPHER_CTX_new();
    if (!impl_->ctx) return false;
    if (EVP_EncryptInit_ex(impl_->ctx, cipher, nullptr, key, nullptr) != 1) return false;
    return EVP_CIPHER_CTX_set_padding(impl_->ctx, 0) == 1;
}

bool AesEncryptor::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    if (!impl_->ctx || length % 16 != 0) return false;
    while (length > 0) {
        int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
        int produced = 0;
        if (EVP_EncryptUpdate(impl_->ctx, out, &produced, in, chunk) != 1 || produced != chunk)
            return false;
        in += chunk;
        out += chunk;
        length -= static_cast<size_t>(chunk);
    }
    return true;
}

struct HmacSha1::Impl {
    EVP_MAC* mac = nullptr;
    EVP_MAC_CTX* ctx = nullptr;
    ~Impl() {
        if (ctx) EVP_MAC_CTX_free(ctx);
        if (mac) EVP_MAC_free(mac);
    }
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::SetKey(const uint8_t* key, size_t length) {
    if (!impl_->mac) impl_->mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!impl_->mac) return false;
    if (impl_->ctx) EVP_MAC_CTX_free(impl_->ctx);
    impl_->ctx = EVP_MAC_CTX_new(impl_->mac);
    if (!impl_->ctx) return false;
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    return EVP_MAC_init(impl_->ctx, key, length, params) == 1;
}

bool HmacSha1::Update(const uint8_t* data, size_t length) {
    return impl_->ctx && EVP_MAC_update(impl_->ctx, data, length) == 1;
}

bool HmacSha1::Final(uint8_t digest[20]) {
    size_t n = 0;
    return impl_->ctx && EVP_MAC_final(impl_->ctx, digest, &n, 20) == 1 && n == 20;
}

bool Pbkdf2HmacSha1(std::string_view password, const uint8_t* salt, size_t saltLength,
                    uint32_t iterations, uint8_t* out, size_t outLength) {
    if (password.size() > INT_MAX || saltLength > INT_MAX || outLength > INT_MAX ||
        iterations > INT_MAX)
        return false;
    return PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                                  static_cast<int>(saltLength), static_cast<int>(iterations),
                                  static_cast<int>(outLength), out) == 1;
}

bool RandomBytes(uint8_t* out, size_t length) {
    return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

void Wipe(void* data, size_t length) {
    if (data && length) OPENSSL_cleanse(data, length);
}

}  // namespace bv::crypto
