// ZIP encryption: the traditional PKWARE stream cipher and the WinZip AES
// layer (PBKDF2 key derivation, AES-CTR with a little-endian counter,
// HMAC-SHA1 over the ciphertext). The primitives come from platform/crypto.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/crypto.h"

namespace bv::zip {

// Traditional PKWARE encryption: three keys updated with every plain byte.
class PkwareCipher {
public:
    ~PkwareCipher() { crypto::Wipe(keys_, sizeof keys_); }
    void Init(std::string_view password);
    void Decrypt(uint8_t* data, size_t length);
    void Encrypt(uint8_t* data, size_t length);

    // Sets the keys from `password`, decrypts the 12-byte header and answers
    // whether its last byte equals `check`.
    bool TestHeader(std::string_view password, const uint8_t header[12], uint8_t check);
    // Sets the keys from `password` and produces the encrypted header: ten
    // random bytes, then bits 16-23 and 24-31 of `crc`.
    void MakeHeader(std::string_view password, uint32_t crc, const uint8_t random[10],
                    uint8_t out[12]);

private:
    void Update(uint8_t plain);
    uint8_t StreamByte() const;
    uint32_t keys_[3] = {0, 0, 0};
};

// Bytes of salt for AES strengths 1, 2 and 3 (0 for any other strength).
size_t AesSaltLength(int strength);
size_t AesKeyLength(int strength);
constexpr size_t kAesVerifierLength = 2;
constexpr size_t kAesCodeLength = 10;

// WinZip AES for one member, reading or writing.
class AesCipher {
public:
    ~AesCipher();
    // Derives the keys from the password and salt; false when derivation
    // fails. `verifier` receives the 2-byte password verification value.
    bool Init(std::string_view password, int strength, const uint8_t* salt, uint8_t verifier[2]);
    // Reading: HMAC over the ciphertext, then decryption in place.
    bool Decrypt(uint8_t* data, size_t length);
    // Writing: encryption in place, then HMAC over the ciphertext.
    bool Encrypt(uint8_t* data, size_t length);
    // The first 10 bytes of the HMAC over everything so far.
    bool Code(uint8_t code[kAesCodeLength]);

private:
    bool Xor(uint8_t* data, size_t length);
    crypto::AesEncryptor aes_;
    crypto::HmacSha1 hmac_;
    uint64_t counter_ = 0;  // the counter block's first 8 bytes, little-endian
    uint8_t stream_[4096] = {};
    size_t streamPos_ = sizeof stream_;
};

}  // namespace bv::zip
