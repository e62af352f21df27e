// The few cryptographic primitives the ZIP encryption needs, from the system:
// BCrypt on Windows, OpenSSL libcrypto natively. The format logic is ours.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace bv::crypto {

// AES with a 16-, 24- or 32-byte key, encrypting whole 16-byte blocks (ECB).
class AesEncryptor {
public:
    AesEncryptor();
    ~AesEncryptor();
    AesEncryptor(const AesEncryptor&) = delete;
    AesEncryptor& operator=(const AesEncryptor&) = delete;
    bool SetKey(const uint8_t* key, size_t length);
    // `length` is a multiple of 16; in and out may be the same buffer.
    bool EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// HMAC-SHA1, fed incrementally.
class HmacSha1 {
public:
    HmacSha1();
    ~HmacSha1();
    HmacSha1(const HmacSha1&) = delete;
    HmacSha1& operator=(const HmacSha1&) = delete;
    bool SetKey(const uint8_t* key, size_t length);
    bool Update(const uint8_t* data, size_t length);
    bool Final(uint8_t digest[20]);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

bool Pbkdf2HmacSha1(std::string_view password, const uint8_t* salt, size_t saltLength,
                    uint32_t iterations, uint8_t* out, size_t outLength);

// Cryptographically strong random bytes.
bool RandomBytes(uint8_t* out, size_t length);

// Overwrites memory that held a password or a key.
void Wipe(void* data, size_t length);

}  // namespace bv::crypto
