// The few cryptographic primitives the ZIP encryption and the check of the
// vendor's signed list need, from the system: BCrypt on Windows, OpenSSL
// libcrypto natively. The format logic is ours.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

// SHA-256, fed incrementally (a download is hashed block by block as it is
// written).
using Sha256Digest = std::array<uint8_t, 32>;
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    // Starts over, as for a new message.
    bool Reset();
    bool Update(const void* data, size_t length);
    // The digest of everything since the last Reset; the hasher must be
    // Reset before it takes another message.
    bool Final(Sha256Digest& digest);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// An ECDSA P-256 public key: the point's x and y, 32 big-endian bytes each.
using EcP256Point = std::array<uint8_t, 64>;

// The two 32-byte big-endian numbers r and s of a DER-encoded ECDSA P-256
// signature (SEQUENCE { INTEGER r, INTEGER s }, as `openssl dgst -sign`
// writes it), or nothing for anything else: another structure, a long or
// non-minimal length or integer, a negative or zero number, a number wider
// than 256 bits, bytes after the sequence.
std::optional<std::array<uint8_t, 64>> EcdsaDerToRaw(const uint8_t* der, size_t length);

// Whether `der` is a valid ECDSA P-256 signature by the key `point` of the
// SHA-256 digest `digest`. A malformed signature or key is simply invalid.
bool VerifyEcdsaP256(const EcP256Point& point, const Sha256Digest& digest, const uint8_t* der,
                     size_t derLength);

// Cryptographically strong random bytes.
bool RandomBytes(uint8_t* out, size_t length);

// Overwrites memory that held a password or a key.
void Wipe(void* data, size_t length);

}  // namespace bv::crypto
