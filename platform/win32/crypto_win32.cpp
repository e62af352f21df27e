// Windows implementation of the crypto primitives over BCrypt (CNG).
#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <vector>

namespace bv::crypto {
namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

}  // namespace

struct AesEncryptor::Impl {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ~Impl() {
        if (key) BCryptDestroyKey(key);
        if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

AesEncryptor::AesEncryptor() : impl_(std::make_unique<Impl>()) {}
AesEncryptor::~AesEncryptor() = default;

bool AesEncryptor::SetKey(const uint8_t* key, size_t length) {
    if (length != 16 && length != 24 && length != 32) return false;
    if (!impl_->alg) {
        if (!Ok(BCryptOpenAlgorithmProvider(&impl_->alg, BCRYPT_AES_ALGORITHM, nullptr, 0)))
            return false;
        if (!Ok(BCryptSetProperty(impl_->alg, BCRYPT_CHAINING_MODE,
                                  reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                                  sizeof(BCRYPT_CHAIN_MODE_ECB), 0)))
            return false;
    }
    if (impl_->key) {
        BCryptDestroyKey(impl_->key);
        impl_->key = nullptr;
    }
    return Ok(BCryptGenerateSymmetricKey(impl_->alg, &impl_->key, nullptr, 0,
                                         const_cast<PUCHAR>(key), static_cast<ULONG>(length), 0));
}

bool AesEncryptor::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    if (!impl_->key || length % 16 != 0) return false;
    while (length > 0) {
        ULONG chunk = length > (1u << 30) ? (1u << 30) : static_cast<ULONG>(length);
        ULONG produced = 0;
        if (!Ok(BCryptEncrypt(impl_->key, const_cast<PUCHAR>(in), chunk, nullptr, nullptr, 0, out,
                              chunk, &produced, 0)) ||
            produced != chunk)
            return false;
        in += chunk;
        out += chunk;
        length -= chunk;
    }
    return true;
}

struct HmacSha1::Impl {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Impl() {
        if (hash) BCryptDestroyHash(hash);
        if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::SetKey(const uint8_t* key, size_t length) {
    if (!impl_->alg && !Ok(BCryptOpenAlgorithmProvider(&impl_->alg, BCRYPT_SHA1_ALGORITHM, nullptr,
                                                       BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    if (impl_->hash) {
        BCryptDestroyHash(impl_->hash);
        impl_->hash = nullptr;
    }
    return Ok(BCryptCreateHash(impl_->alg, &impl_->hash, nullptr, 0, const_cast<PUCHAR>(key),
                               static_cast<ULONG>(length), 0));
}

bool HmacSha1::Update(const uint8_t* data, size_t length) {
    if (!impl_->hash) return false;
    while (length > 0) {
        ULONG chunk = length > (1u << 30) ? (1u << 30) : static_cast<ULONG>(length);
        if (!Ok(BCryptHashData(impl_->hash, const_cast<PUCHAR>(data), chunk, 0))) return false;
        data += chunk;
        length -= chunk;
    }
    return true;
}

bool HmacSha1::Final(uint8_t digest[20]) {
    return impl_->hash && Ok(BCryptFinishHash(impl_->hash, digest, 20, 0));
}

bool Pbkdf2HmacSha1(std::string_view password, const uint8_t* salt, size_t saltLength,
                    uint32_t iterations, uint8_t* out, size_t outLength) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr,
                                        BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    // BCrypt refuses a null secret pointer, so an empty password gets a
    // one-byte buffer with length 0.
    std::vector<UCHAR> secret(password.begin(), password.end());
    secret.push_back(0);
    NTSTATUS status = BCryptDeriveKeyPBKDF2(alg, secret.data(), static_cast<ULONG>(password.size()),
                                            const_cast<PUCHAR>(salt), static_cast<ULONG>(saltLength),
                                            iterations, out, static_cast<ULONG>(outLength), 0);
    Wipe(secret.data(), secret.size());
    BCryptCloseAlgorithmProvider(alg, 0);
    return Ok(status);
}

bool RandomBytes(uint8_t* out, size_t length) {
    return length <= ULONG_MAX &&
           Ok(BCryptGenRandom(nullptr, out, static_cast<ULONG>(length),
                              BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

void Wipe(void* data, size_t length) {
    if (data && length) SecureZeroMemory(data, length);
}

}  // namespace bv::crypto
