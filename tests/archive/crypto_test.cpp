// The crypto primitives of both backends against published test vectors, and
// the ZIP ciphers built on them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/zip_crypto.h"
#include "platform/crypto.h"

namespace bv {
namespace {

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

TEST(CryptoTest, AesBlockMatchesFips197) {
    struct Case {
        size_t keyLength;
        const char* expected;
    } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
                 {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
                 {32, "8ea2b7ca516745bfeafc49904b496089"}};
    for (const Case& c : cases) {
        uint8_t key[32], block[16];
        for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 16; ++i) block[i] = static_cast<uint8_t>(i * 0x11);
        crypto::AesEncryptor aes;
        ASSERT_TRUE(aes.SetKey(key, c.keyLength));
        ASSERT_TRUE(aes.EncryptBlocks(block, block, 16));
        EXPECT_EQ(Hex(block, 16), c.expected) << c.keyLength;
    }
}

TEST(CryptoTest, HmacSha1AndPbkdf2MatchRfcVectors) {
    crypto::HmacSha1 hmac;
    const std::string key = "Jefe", data = "what do ya want for nothing?";
    uint8_t digest[20];
    ASSERT_TRUE(hmac.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
    // Fed in two pieces: the incremental interface must equal one pass.
    ASSERT_TRUE(hmac.Update(reinterpret_cast<const uint8_t*>(data.data()), 10));
    ASSERT_TRUE(hmac.Update(reinterpret_cast<const uint8_t*>(data.data()) + 10, data.size() - 10));
    ASSERT_TRUE(hmac.Final(digest));
    EXPECT_EQ(Hex(digest, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");

    const uint8_t salt[] = {'s', 'a', 'l', 't'};
    uint8_t out[20];
    ASSERT_TRUE(crypto::Pbkdf2HmacSha1("password", salt, 4, 1, out, 20));
    EXPECT_EQ(Hex(out, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
    ASSERT_TRUE(crypto::Pbkdf2HmacSha1("password", salt, 4, 4096, out, 20));
    EXPECT_EQ(Hex(out, 20), "4b007901b765489abead49d926f721d065a429c1");
}

TEST(CryptoTest, PkwareHeaderCarriesCrcBytesAndRoundTrips) {
    const uint8_t random[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t header[12];
    zip::PkwareCipher writer, reader;
    writer.MakeHeader("secret", 0xA1B2C3D4, random, header);
    std::string text = "The quick brown fox";
    std::string data = text;
    writer.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    EXPECT_NE(data, text);

    EXPECT_FALSE(reader.TestHeader("Secret", header, 0xA1));
    ASSERT_TRUE(reader.TestHeader("secret", header, 0xA1));
    uint8_t plainHeader[12];
    std::memcpy(plainHeader, header, 12);
    zip::PkwareCipher check;
    check.Init("secret");
    check.Decrypt(plainHeader, 12);
    EXPECT_EQ(plainHeader[10], 0xB2);
    EXPECT_EQ(plainHeader[11], 0xA1);
    reader.Decrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    EXPECT_EQ(data, text);
}

TEST(CryptoTest, AesCipherRoundTripsAndAuthenticatesCiphertext) {
    const uint8_t salt[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    std::string text(10000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
    for (int strength = 1; strength <= 3; ++strength) {
        zip::AesCipher writer, reader, wrong;
        uint8_t v1[2], v2[2], v3[2], code1[10], code2[10];
        ASSERT_TRUE(writer.Init("pw", strength, salt, v1));
        std::string data = text;
        ASSERT_TRUE(writer.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size()));
        ASSERT_TRUE(writer.Code(code1));
        ASSERT_TRUE(reader.Init("pw", strength, salt, v2));
        EXPECT_EQ(std::memcmp(v1, v2, 2), 0);
        ASSERT_TRUE(wrong.Init("px", strength, salt, v3));
        // Decrypted in uneven pieces: the key stream continues across calls.
        ASSERT_TRUE(reader.Decrypt(reinterpret_cast<uint8_t*>(data.data()), 4097));
        ASSERT_TRUE(reader.Decrypt(reinterpret_cast<uint8_t*>(data.data()) + 4097, data.size() - 4097));
        ASSERT_TRUE(reader.Code(code2));
        EXPECT_EQ(data, text);
        EXPECT_EQ(std::memcmp(code1, code2, 10), 0);
    }
}

}  // namespace
}  // namespace bv
