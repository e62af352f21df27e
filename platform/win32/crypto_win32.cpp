// Windows implementation of the crypto primitives over BCrypt (CNG).
#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>
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

struct Sha256::Impl {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Impl() {
        if (hash) BCryptDestroyHash(hash);
        if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { (void)Reset(); }
Sha256::~Sha256() = default;

bool Sha256::Reset() {
    if (impl_->hash) {
        BCryptDestroyHash(impl_->hash);
        impl_->hash = nullptr;
    }
    if (!impl_->alg && !Ok(BCryptOpenAlgorithmProvider(&impl_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    if (!Ok(BCryptCreateHash(impl_->alg, &impl_->hash, nullptr, 0, nullptr, 0, 0))) {
        impl_->hash = nullptr;
        return false;
    }
    return true;
}

bool Sha256::Update(const void* data, size_t length) {
    if (!impl_->hash) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ULONG chunk = length > (1u << 30) ? (1u << 30) : static_cast<ULONG>(length);
        if (!Ok(BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), chunk, 0))) return false;
        p += chunk;
        length -= chunk;
    }
    return true;
}

bool Sha256::Final(Sha256Digest& digest) {
    if (!impl_->hash) return false;
    bool ok = Ok(BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(impl_->hash);
    impl_->hash = nullptr;
    return ok;
}

bool VerifyEcdsaP256(const EcP256Point& point, const Sha256Digest& digest, const uint8_t* der,
                     size_t derLength) {
    // BCrypt takes r || s, each 32 bytes, where OpenSSL writes DER.
    std::optional<std::array<uint8_t, 64>> raw = EcdsaDerToRaw(der, derLength);
    if (!raw) return false;
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
    // The public key blob: its header, then x and y.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.data(), point.size());
    BCRYPT_KEY_HANDLE key = nullptr;
    bool ok = Ok(BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                     static_cast<ULONG>(blob.size()), 0)) &&
              Ok(BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest.data()),
                                       static_cast<ULONG>(digest.size()), raw->data(),
                                       static_cast<ULONG>(raw->size()), 0));
    if (key) BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
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
