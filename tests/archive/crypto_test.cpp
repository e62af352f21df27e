// The crypto primitives of both backends against published test vectors, and
// the ZIP ciphers built on them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/zip_crypto.h"
#include "platform/crypto.h"

#include "tests/hex.h"

namespace bv {
namespace {

using test::Bytes;

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
    // One encryptor re-keyed through the table: a new key of the same length
    // and a change of length must both take effect.
    struct Case {
        const char* key;
        const char* plain;
        const char* expected;
    } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
    };
    crypto::AesEncryptor aes;
    uint8_t block[16];
    EXPECT_FALSE(aes.EncryptBlocks(block, block, 16));  // no key yet
    EXPECT_FALSE(aes.SetKey(block, 20));
    for (const Case& c : cases) {
        std::string key = Bytes(c.key), plain = Bytes(c.plain);
        ASSERT_TRUE(aes.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
        std::memcpy(block, plain.data(), 16);
        ASSERT_TRUE(aes.EncryptBlocks(block, block, 16));
        EXPECT_EQ(Hex(block, 16), c.expected) << c.key;
    }
}

TEST(CryptoTest, HmacSha1MatchesRfc2202) {
    struct Case {
        std::string key, data;
        const char* expected;
    } cases[] = {
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        // A key longer than SHA-1's block is hashed first.
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
    };
    // One object re-keyed through the table, as an archive's members do.
    crypto::HmacSha1 hmac;
    for (const Case& c : cases) {
        const auto* data = reinterpret_cast<const uint8_t*>(c.data.data());
        uint8_t digest[20];
        ASSERT_TRUE(hmac.SetKey(reinterpret_cast<const uint8_t*>(c.key.data()), c.key.size()));
        // Fed in two pieces: the incremental interface must equal one pass.
        ASSERT_TRUE(hmac.Update(data, 5));
        ASSERT_TRUE(hmac.Update(data + 5, c.data.size() - 5));
        ASSERT_TRUE(hmac.Final(digest));
        EXPECT_EQ(Hex(digest, 20), c.expected) << c.data;
    }
}

TEST(CryptoTest, Pbkdf2MatchesRfc6070) {
    using namespace std::string_literals;
    struct Case {
        std::string password, salt;
        uint32_t iterations;
        const char* expected;  // its length gives the output length
    } cases[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        // 25 bytes: a second output block, cut short.
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        // Zero bytes inside password and salt are data.
        {"pass\0word"s, "sa\0lt"s, 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
        // Output blocks are derived four at a time: the 66 bytes of an
        // AES-256 member (four blocks), five blocks (a second group of one),
        // and six blocks with the last one cut short.
        {"pw", std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16), 1000,
         "fa6effc6599d671aae4ea5f7dd4af9b0e809483a8e81ca459d27035cf7b0fd7aea5ffa0a13e5c7ed617c03fc91dec551"
         "d437dda58911b355a9d4737b9329f40005a9"},
        {"password", "salt", 1,
         "0c60c80f961f0e71f3a9b524af6012062fe037a6e0f0eb94fe8fc46bdc637164ac2e7a8e3f9d2e83ace57e0d50e5e107"
         "1367c179bc86c767fc3f78ddb561363fc692ba406d1301e42bcccc3c520d06751d78b80c3db926b16ffa3395bd697c64"
         "7f280b51"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 2,
         "8f2c3482e40bdbe537935153ef1692de0c7f4740bef78dd94088c4f140b1589ea25a8cc339a28621d21dbc74acdbba80"
         "06a4ec4bb1b02daf938b6cd4594f620eeae6ea42243acfc41d858f4067fb4f0155d8425d1d42f423ab78c774d12cb0a0"
         "24b12815f818ce8bb47815c92c26c97e7d"},
    };
    for (const Case& c : cases) {
        size_t length = std::strlen(c.expected) / 2;
        uint8_t out[128];
        ASSERT_TRUE(crypto::Pbkdf2HmacSha1(c.password, reinterpret_cast<const uint8_t*>(c.salt.data()),
                                           c.salt.size(), c.iterations, out, length));
        EXPECT_EQ(Hex(out, length), c.expected) << c.password << " " << c.iterations;
    }
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
    // The reader is kept across strengths, as the archive reader keeps one
    // for all its members: each Init must start afresh.
    zip::AesCipher reader;
    for (int strength = 1; strength <= 3; ++strength) {
        zip::AesCipher writer, wrong;
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
