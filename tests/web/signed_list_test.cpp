// The vendor's signed list: SHA-256 and the ECDSA P-256 check of the
// platform's crypto (OpenSSL natively, BCrypt under Wine) against signatures
// that `openssl dgst -sha256 -sign` made, the reader of `sha256sum`'s format,
// and the check of a file against a verified list.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"
#include "web/signed_list.h"

#include "tests/hex.h"

namespace bv {
namespace {

using test::Bytes;

crypto::EcP256Point Point(const char* hex) {
    std::string bytes = Bytes(hex);
    crypto::EcP256Point point{};
    std::copy(bytes.begin(), bytes.end(), point.begin());
    return point;
}

crypto::Sha256Digest Digest(std::string_view data) {
    crypto::Sha256 hash;
    crypto::Sha256Digest digest{};
    EXPECT_TRUE(hash.Update(data.data(), data.size()));
    EXPECT_TRUE(hash.Final(digest));
    return digest;
}

crypto::Sha256Digest DigestOfHex(const char* hex) {
    std::string bytes = Bytes(hex);
    crypto::Sha256Digest digest{};
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

// Two key pairs made with `openssl ecparam -name prime256v1 -genkey`; only
// their public points are kept here.
const char kKeyA[] =
    "b2b07fcf1999633b7aa2de9e1e03ecf6d2115365f0ec117193f4dd2a9950ed2f"
    "7b06acca0dc4b95829d7b0bfa789605d6c8d44a56c9eb01e82810521d7043cbc";
const char kKeyB[] =
    "23a1da11cf0f4f8c13d8ace9f823526e67c0f8bf2b9dcb3f074ffa3cd83de660"
    "eb2024cf62f77f720d2ae48929133949c58ec8ecf0d437bb4c9b08a82ed82628";
// The list that was signed: the SHA-256 of "x" for zoded.___.
const char kList[] = "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881  zoded.___\n";
// openssl dgst -sha256 -sign {a,b}.pem list; and key A over "other bytes\n".
const char kSigA[] =
    "3045022100a83a0c3722d3921acb98cf97fd314e89ad518fd0801d917de2b33c4f655f4189"
    "022056bdac0c94ddd156ab5ae88374bdad0ece2505c2d9416a423e975e5d1dbdb741";
const char kSigB[] =
    "304402201e80a5393ddb53e01d0e650cf8ef23f61c391a7c4cbcf2aaa8afd3ca61f434ff"
    "02206f5e665edcc753da63958b43e054835140d352a737d269a14b0c30525f5748b5";
const char kSigAOther[] =
    "3044022042c9166e287db60f8b3521933e0218e8c3cf99492e276874cd828455f1c5ecc0"
    "02201df50d5abf546278ef48b92444623436e9311ddb161b5b75f0df31ddfbb8bb79";

TEST(Sha256Test, KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(Digest(""), DigestOfHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(Digest("abc"), DigestOfHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    // One hasher, reset between messages, fed in uneven pieces across the
    // 64-byte block edges.
    std::string million(1000000, 'a');
    crypto::Sha256 hash;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(hash.Reset());
        for (size_t at = 0, piece = 1; at < million.size(); at += piece, piece = piece * 3 % 1000 + 1)
            ASSERT_TRUE(hash.Update(million.data() + at, std::min(piece, million.size() - at)));
        crypto::Sha256Digest digest{};
        ASSERT_TRUE(hash.Final(digest));
        EXPECT_EQ(digest, DigestOfHex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
    }
}

TEST(EcdsaTest, SignaturesOfOpenSsl) {
    std::string sigA = Bytes(kSigA);
    std::string flipped = sigA;
    flipped[sigA.size() - 5] ^= 0x01;  // a bit of s
    std::string withTrailer = sigA + std::string(1, '\0');
    // r with its leading zero dropped reads as a negative number.
    std::string negative = Bytes(
        "30440220a83a0c3722d3921acb98cf97fd314e89ad518fd0801d917de2b33c4f655f4189"
        "022056bdac0c94ddd156ab5ae88374bdad0ece2505c2d9416a423e975e5d1dbdb741");
    struct Case {
        const char* name;
        const char* key;
        std::string signedBytes;
        std::string signature;
        bool valid;
    };
    const Case cases[] = {
        {"good", kKeyA, kList, sigA, true},
        {"good, other key pair", kKeyB, kList, Bytes(kSigB), true},
        {"bad: a bit of s flipped", kKeyA, kList, flipped, false},
        {"signed by the other key", kKeyB, kList, sigA, false},
        {"other key's signature", kKeyA, kList, Bytes(kSigB), false},
        {"truncated DER", kKeyA, kList, sigA.substr(0, sigA.size() - 1), false},
        {"DER cut to its header", kKeyA, kList, sigA.substr(0, 2), false},
        {"empty", kKeyA, kList, "", false},
        {"a byte after the DER", kKeyA, kList, withTrailer, false},
        {"negative r", kKeyA, kList, negative, false},
        {"signature of other bytes", kKeyA, kList, Bytes(kSigAOther), false},
        {"the other bytes themselves", kKeyA, "other bytes\n", Bytes(kSigAOther), true},
        {"list changed after signing", kKeyA, std::string(kList) + "\n", sigA, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crypto::VerifyEcdsaP256(Point(c.key), Digest(c.signedBytes),
                                          reinterpret_cast<const uint8_t*>(c.signature.data()), c.signature.size()),
                  c.valid);
    }
    // A point that is not on the curve is no key.
    crypto::EcP256Point offCurve = Point(kKeyA);
    offCurve[63] ^= 1;
    EXPECT_FALSE(crypto::VerifyEcdsaP256(offCurve, Digest(kList), reinterpret_cast<const uint8_t*>(sigA.data()),
                                         sigA.size()));
}

TEST(EcdsaTest, DerToRaw) {
    std::string sigB = Bytes(kSigB);
    auto raw = crypto::EcdsaDerToRaw(reinterpret_cast<const uint8_t*>(sigB.data()), sigB.size());
    ASSERT_TRUE(raw);
    EXPECT_EQ(std::string(raw->begin(), raw->end()), sigB.substr(4, 32) + sigB.substr(38, 32));
    // Short numbers are right-aligned; a leading zero that is not needed,
    // a zero number, a long-form length are refused.
    struct Case {
        const char* der;
        bool ok;
    } cases[] = {
        {"3006020101020102", true},
        {"300702020001020102", false},
        {"3006020100020101", false},
        {"308106020101020102", false},
        {"3106020101020102", false},
        {"3007020101020102ff", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.der);
        std::string der = Bytes(c.der);
        auto got = crypto::EcdsaDerToRaw(reinterpret_cast<const uint8_t*>(der.data()), der.size());
        EXPECT_EQ(got.has_value(), c.ok);
        if (got && c.ok) {
            EXPECT_EQ((*got)[31], 1);
            EXPECT_EQ((*got)[63], 2);
        }
    }
}

TEST(Sha256SumsTest, ReadsWhatSha256sumWrites) {
    const std::string a = "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881";
    const std::string b = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    std::string upperA = a;
    for (char& ch : upperA) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    struct Case {
        const char* name;
        std::string text;
        std::map<std::string, std::string> files;  // name -> digest hex; empty with `error`
        const char* error;                         // the start of the error's detail
    };
    const Case cases[] = {
        {"text mode", a + "  zoded.___\n" + b + "  bvlang.ita\n", {{"zoded.___", a}, {"bvlang.ita", b}}, nullptr},
        {"binary mode", a + " *zoded.___\n", {{"zoded.___", a}}, nullptr},
        {"CR LF", a + "  zoded.___\r\n" + b + " *ipanema.mid\r\n", {{"zoded.___", a}, {"ipanema.mid", b}}, nullptr},
        {"no final line end", a + "  zoded.___", {{"zoded.___", a}}, nullptr},
        {"upper-case hex", upperA + "  zoded.___\n", {{"zoded.___", a}}, nullptr},
        {"blank lines", "\n" + a + "  zoded.___\n\r\n\n" + b + "  bvcon.___\n\n", {{"zoded.___", a}, {"bvcon.___", b}}, nullptr},
        {"a name with blanks", a + "  read me.txt\n", {{"read me.txt", a}}, nullptr},
        {"a name with a trailing blank", a + "  zoded.___ \n", {{"zoded.___ ", a}}, nullptr},
        {"an escaped name", "\\" + a + "  back\\\\slash\\nline\n", {{"back\\slash\nline", a}}, nullptr},
        {"a name twice, one digest", a + "  zoded.___\n" + a + " *zoded.___\n", {{"zoded.___", a}}, nullptr},
        {"empty list", "", {}, nullptr},
        {"bad hex", "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a48g1  zoded.___\n", {},
         "line 1: the digest is not 64 hex digits"},
        {"short digest", a.substr(1) + "  zoded.___\n", {}, "line 1: "},
        {"one blank", b + "  bvcon.___\n" + a + " zoded.___\n", {}, "line 2: no \"  \" or \" *\""},
        {"no name", a + "  \n", {}, "line 1: too short"},
        {"a name twice, two digests", a + "  zoded.___\n" + b + "  zoded.___\n", {},
         "line 2: a name listed twice with two digests"},
        {"trailing junk after the last line", a + "  zoded.___\njunk\n", {}, "line 2: too short"},
        {"junk after the digest", a + "x  zoded.___\n", {}, "line 1: no \"  \" or \" *\""},
        {"a bad escape", "\\" + a + "  a\\tb\n", {}, "line 1: the name is not readable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result<FileDigests> got = ParseSha256Sums(c.text);
        if (c.error) {
            ASSERT_FALSE(got);
            std::wstring want(c.error, c.error + strlen(c.error));
            EXPECT_EQ(got.error().detail.substr(0, want.size()), want);
            continue;
        }
        ASSERT_TRUE(got) << std::string(got.error().detail.begin(), got.error().detail.end());
        std::map<std::string, crypto::Sha256Digest> want;
        for (const auto& [name, hex] : c.files) want[name] = DigestOfHex(hex.c_str());
        EXPECT_EQ(got.value(), want);
    }
}

TEST(SignedListTest, ChecksFilesAgainstAVerifiedList) {
    const crypto::Sha256Digest x = Digest("x"), y = Digest("y");
    std::string sigA = Bytes(kSigA);
    struct Case {
        const char* name;
        std::optional<crypto::EcP256Point> key;
        std::optional<std::string> list, signature;
        std::wstring file;
        crypto::Sha256Digest digest;
        int failure;  // 0: the file may be kept
    };
    const Case cases[] = {
        {"listed", Point(kKeyA), std::string(kList), sigA, L"zoded.___", x, 0},
        {"digest differs", Point(kKeyA), std::string(kList), sigA, L"zoded.___", y, kDigestDiffers},
        {"not listed", Point(kKeyA), std::string(kList), sigA, L"bvcon.___", x, kNotInList},
        {"names are compared exactly", Point(kKeyA), std::string(kList), sigA, L"ZODED.___", x, kNotInList},
        {"no list", Point(kKeyA), std::nullopt, std::nullopt, L"zoded.___", x, kListMissing},
        {"list without signature", Point(kKeyA), std::string(kList), std::nullopt, L"zoded.___", x, kSignatureInvalid},
        {"signed by another key", Point(kKeyB), std::string(kList), sigA, L"zoded.___", x, kSignatureInvalid},
        {"signature of other bytes", Point(kKeyA), std::string(kList), Bytes(kSigAOther), L"zoded.___", x,
         kSignatureInvalid},
        {"no key: anything goes", std::nullopt, std::nullopt, std::nullopt, L"zoded.___", y, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SignedList list = SignedList::Verify(c.key, c.list, c.signature);
        EXPECT_EQ(list.Required(), c.key.has_value());
        Result<void> checked = list.Check(c.file, c.digest);
        EXPECT_EQ(checked.ok(), c.failure == 0);
        if (!checked) {
            EXPECT_EQ(checked.error().code, c.failure);
            EXPECT_EQ(checked.error().detail, TrustFailureText(static_cast<TrustFailure>(c.failure)));
        }
    }
    EXPECT_EQ(TrustFailureText(kNotInList), L"not in the vendor's signed list");
    EXPECT_EQ(TrustFailureText(kDigestDiffers), L"SHA-256 differs from the vendor's signed list");
    EXPECT_EQ(TrustFailureText(kListMissing), L"the vendor's list of files is missing");
    EXPECT_EQ(TrustFailureText(kSignatureInvalid), L"the signature of the vendor's list of files does not verify");
}

}  // namespace
}  // namespace bv
