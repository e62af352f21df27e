// ZIP encryption formats over the platform's primitives.
#include "archive/zip_crypto.h"

#include <zlib.h>

#include <cstring>

namespace bv::zip {
namespace {

uint32_t Crc32Byte(uint32_t crc, uint8_t b) {
    static const z_crc_t* table = get_crc_table();
    return table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

}  // namespace

void PkwareCipher::Init(std::string_view password) {
    keys_[0] = 0x12345678;
    keys_[1] = 0x23456789;
    keys_[2] = 0x34567890;
    for (char c : password) Update(static_cast<uint8_t>(c));
}

void PkwareCipher::Update(uint8_t plain) {
    keys_[0] = Crc32Byte(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = Crc32Byte(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
}

uint8_t PkwareCipher::StreamByte() const {
    uint32_t temp = (keys_[2] & 0xFFFF) | 2;
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

void PkwareCipher::Decrypt(uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t plain = data[i] ^ StreamByte();
        Update(plain);
        data[i] = plain;
    }
}

void PkwareCipher::Encrypt(uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t plain = data[i];
        data[i] = plain ^ StreamByte();
        Update(plain);
    }
}

bool PkwareCipher::TestHeader(std::string_view password, const uint8_t header[12], uint8_t check) {
    Init(password);
    uint8_t copy[12];
    std::memcpy(copy, header, 12);
    Decrypt(copy, 12);
    return copy[11] == check;
}

void PkwareCipher::MakeHeader(std::string_view password, uint32_t crc, const uint8_t random[10],
                              uint8_t out[12]) {
    Init(password);
    std::memcpy(out, random, 10);
    out[10] = static_cast<uint8_t>(crc >> 16);
    out[11] = static_cast<uint8_t>(crc >> 24);
    Encrypt(out, 12);
}

size_t AesSaltLength(int strength) {
    return strength >= 1 && strength <= 3 ? static_cast<size_t>(4 + 4 * strength) : 0;
}

size_t AesKeyLength(int strength) {
    return strength >= 1 && strength <= 3 ? static_cast<size_t>(8 + 8 * strength) : 0;
}

AesCipher::~AesCipher() { crypto::Wipe(stream_, sizeof stream_); }

bool AesCipher::Init(std::string_view password, int strength, const uint8_t* salt,
                     uint8_t verifier[2]) {
    size_t keyLength = AesKeyLength(strength);
    if (keyLength == 0) return false;
    uint8_t material[2 * 32 + 2];
    size_t total = 2 * keyLength + 2;
    bool ok = crypto::Pbkdf2HmacSha1(password, salt, AesSaltLength(strength), 1000, material, total) &&
              aes_.SetKey(material, keyLength) && hmac_.SetKey(material + keyLength, keyLength);
    if (ok) {
        verifier[0] = material[2 * keyLength];
        verifier[1] = material[2 * keyLength + 1];
    }
    crypto::Wipe(material, sizeof material);
    counter_ = 0;
    streamPos_ = sizeof stream_;
    return ok;
}

// Counter mode: the key stream is made a few hundred blocks at a time, each
// block the encryption of the counter after a little-endian increment (the
// carry runs through the first 8 bytes only, so the last 8 stay zero).
bool AesCipher::Xor(uint8_t* data, size_t length) {
    while (length > 0) {
        if (streamPos_ == sizeof stream_) {
            for (size_t b = 0; b < sizeof stream_; b += 16) {
                uint64_t c = ++counter_;
                for (int i = 0; i < 8; ++i) stream_[b + i] = static_cast<uint8_t>(c >> (8 * i));
                std::memset(stream_ + b + 8, 0, 8);
            }
            if (!aes_.EncryptBlocks(stream_, stream_, sizeof stream_)) return false;
            streamPos_ = 0;
        }
        size_t n = sizeof stream_ - streamPos_;
        if (n > length) n = length;
        // Eight bytes at a time: byte by byte, the compiler cannot rule out
        // that `data` overlaps the key stream and keeps the loop scalar.
        const uint8_t* key = stream_ + streamPos_;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t d, k;
            std::memcpy(&d, data + i, 8);
            std::memcpy(&k, key + i, 8);
            d ^= k;
            std::memcpy(data + i, &d, 8);
        }
        for (; i < n; ++i) data[i] ^= key[i];
        streamPos_ += n;
        data += n;
        length -= n;
    }
    return true;
}

bool AesCipher::Decrypt(uint8_t* data, size_t length) {
    return hmac_.Update(data, length) && Xor(data, length);
}

bool AesCipher::Encrypt(uint8_t* data, size_t length) {
    return Xor(data, length) && hmac_.Update(data, length);
}

bool AesCipher::Code(uint8_t code[kAesCodeLength]) {
    uint8_t digest[20];
    if (!hmac_.Final(digest)) return false;
    std::memcpy(code, digest, kAesCodeLength);
    return true;
}

}  // namespace bv::zip
