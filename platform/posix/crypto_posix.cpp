// Native implementation of the crypto primitives over OpenSSL libcrypto.
//
// AES runs through EVP (it picks the hardware instructions). HMAC-SHA1 and
// PBKDF2 are driven here over libcrypto's SHA-1 with plain SHA_CTX structs:
// the HMAC pad states are hashed once per key and then copied by assignment,
// where EVP_MAC and PKCS5_PBKDF2_HMAC allocate and duplicate provider
// contexts for every one of PBKDF2's thousands of HMAC steps. SHA-1 itself
// stays the library's; its low-level calls are deprecated in OpenSSL 3 but
// are the only allocation-free ones.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace bv::crypto {
namespace {

constexpr size_t kSha1Block = 64;
constexpr size_t kSha1Digest = 20;

// Big-endian words, as SHA-1 reads and writes them: one byte swap each
// (what PBKDF2's inner loop spends between compressions must stay small).
inline void StoreBig32(uint8_t* p, uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
#else
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
#endif
}
inline uint32_t LoadBig32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The SHA-1 states after the inner (key ^ 0x36) and outer (key ^ 0x5c) pad
// blocks; every HMAC with this key starts from a copy of them.
struct HmacPads {
    SHA_CTX inner;
    SHA_CTX outer;

    ~HmacPads() { Wipe(this, sizeof *this); }

    void SetKey(const uint8_t* key, size_t length) {
        uint8_t block[kSha1Block] = {};
        if (length > kSha1Block) {
            SHA_CTX c;
            SHA1_Init(&c);
            SHA1_Update(&c, key, length);
            SHA1_Final(block, &c);
            Wipe(&c, sizeof c);
        } else if (length > 0) {
            std::memcpy(block, key, length);
        }
        for (uint8_t& b : block) b ^= 0x36;
        SHA1_Init(&inner);
        SHA1_Update(&inner, block, sizeof block);
        for (uint8_t& b : block) b ^= 0x36 ^ 0x5c;
        SHA1_Init(&outer);
        SHA1_Update(&outer, block, sizeof block);
        Wipe(block, sizeof block);
    }

    // Completes the HMAC whose inner hash `running` has absorbed the message.
    // `digest` holds the inner hash on the way; SHA1_Update copies it into
    // the context before the outer hash overwrites it.
    void Finish(SHA_CTX& running, uint8_t digest[kSha1Digest]) const {
        SHA1_Final(digest, &running);
        running = outer;
        SHA1_Update(&running, digest, kSha1Digest);
        SHA1_Final(digest, &running);
    }
};

}  // namespace

struct AesEncryptor::Impl {
    EVP_CIPHER_CTX* ctx = nullptr;
    size_t keyLength = 0;  // of the cipher set up in ctx, 0 before the first key
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
    // A new key for the cipher already set up only runs the key schedule;
    // naming the cipher again would reset the context and look it up anew.
    if (impl_->keyLength == length) {
        if (EVP_EncryptInit_ex(impl_->ctx, nullptr, nullptr, key, nullptr) != 1) return false;
    } else {
        impl_->keyLength = 0;
        if (EVP_EncryptInit_ex(impl_->ctx, cipher, nullptr, key, nullptr) != 1) return false;
        impl_->keyLength = length;
    }
    return EVP_CIPHER_CTX_set_padding(impl_->ctx, 0) == 1;
}

bool AesEncryptor::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    if (!impl_->ctx || impl_->keyLength == 0 || length % 16 != 0) return false;
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
    HmacPads pads;
    SHA_CTX running;
    bool keyed = false;
    ~Impl() { Wipe(&running, sizeof running); }
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::SetKey(const uint8_t* key, size_t length) {
    impl_->pads.SetKey(key, length);
    impl_->running = impl_->pads.inner;
    impl_->keyed = true;
    return true;
}

bool HmacSha1::Update(const uint8_t* data, size_t length) {
    return impl_->keyed && SHA1_Update(&impl_->running, data, length) == 1;
}

// Also starts the next message under the same key.
bool HmacSha1::Final(uint8_t digest[20]) {
    if (!impl_->keyed) return false;
    impl_->pads.Finish(impl_->running, digest);
    impl_->running = impl_->pads.inner;
    return true;
}

// RFC 2898 PBKDF2 with HMAC-SHA1: block i of the output is U1 ^ U2 ^ ... ^ Uc,
// U1 = HMAC(password, salt || i as 32-bit big-endian), Uj = HMAC(password, Uj-1).
namespace {

// After U1, every inner and every outer hash is a 20-byte message behind the
// 64-byte pad block, so it is a single compression of one block: the message,
// SHA-1's 0x80 end mark, zeros and the length of 84 bytes in bits. That block
// goes straight to the library's compression (SHA1_Transform) from the pad
// state. The output blocks are independent chains, and up to four run side
// by side: one chain alone keeps the processor waiting for each compression's
// result before the next can start, four let it overlap them (measured: the
// 66 bytes an AES-256 member needs take 0.16 ms instead of 0.40 ms).
bool DerivePbkdf2(std::string_view password, const uint8_t* salt, size_t saltLength,
                  uint32_t iterations, uint8_t* out, size_t outLength) {
    if (outLength > size_t{0xFFFFFFFF} * kSha1Digest) return false;  // more than 2^32 - 1 blocks
    constexpr size_t kChains = 4;
    struct Chain {
        SHA_CTX c;
        uint8_t block[kSha1Block];  // the next message, padded: Uj in its first 20 bytes
        uint32_t t[5];              // U1 ^ ... ^ Uj as SHA-1 state words
    };
    Chain chains[kChains];
    HmacPads pads;
    pads.SetKey(reinterpret_cast<const uint8_t*>(password.data()), password.size());
    // The digest of `c` as the first 20 bytes of `block`.
    auto putDigest = [](const SHA_CTX& c, uint8_t* block) {
        StoreBig32(block, c.h0);
        StoreBig32(block + 4, c.h1);
        StoreBig32(block + 8, c.h2);
        StoreBig32(block + 12, c.h3);
        StoreBig32(block + 16, c.h4);
    };
    auto startFrom = [](SHA_CTX& c, const SHA_CTX& pad) {
        c.h0 = pad.h0;
        c.h1 = pad.h1;
        c.h2 = pad.h2;
        c.h3 = pad.h3;
        c.h4 = pad.h4;
    };
    uint32_t block = 1;
    while (outLength > 0) {
        const size_t count = std::min(kChains, (outLength + kSha1Digest - 1) / kSha1Digest);
        for (size_t k = 0; k < count; ++k, ++block) {
            Chain& ch = chains[k];
            const uint8_t index[4] = {static_cast<uint8_t>(block >> 24), static_cast<uint8_t>(block >> 16),
                                      static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
            ch.c = pads.inner;
            SHA1_Update(&ch.c, salt, saltLength);
            SHA1_Update(&ch.c, index, sizeof index);
            pads.Finish(ch.c, ch.block);
            std::memset(ch.block + kSha1Digest, 0, kSha1Block - kSha1Digest);
            ch.block[kSha1Digest] = 0x80;
            constexpr uint32_t kBits = (kSha1Block + kSha1Digest) * 8;
            ch.block[kSha1Block - 2] = static_cast<uint8_t>(kBits >> 8);
            ch.block[kSha1Block - 1] = static_cast<uint8_t>(kBits);
            for (size_t w = 0; w < 5; ++w) ch.t[w] = LoadBig32(ch.block + 4 * w);
        }
        for (uint32_t j = 1; j < iterations; ++j) {
            for (size_t k = 0; k < count; ++k) {
                startFrom(chains[k].c, pads.inner);
                SHA1_Transform(&chains[k].c, chains[k].block);
                putDigest(chains[k].c, chains[k].block);
            }
            for (size_t k = 0; k < count; ++k) {
                Chain& ch = chains[k];
                startFrom(ch.c, pads.outer);
                SHA1_Transform(&ch.c, ch.block);
                putDigest(ch.c, ch.block);
                ch.t[0] ^= ch.c.h0;
                ch.t[1] ^= ch.c.h1;
                ch.t[2] ^= ch.c.h2;
                ch.t[3] ^= ch.c.h3;
                ch.t[4] ^= ch.c.h4;
            }
        }
        for (size_t k = 0; k < count; ++k) {
            uint8_t t[kSha1Digest];
            for (size_t w = 0; w < 5; ++w) StoreBig32(t + 4 * w, chains[k].t[w]);
            size_t n = std::min(outLength, kSha1Digest);
            std::memcpy(out, t, n);
            Wipe(t, sizeof t);
            out += n;
            outLength -= n;
        }
    }
    Wipe(chains, sizeof chains);
    return true;
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing only: mutated archives keep their members' salts, so the same
// thousand rounds would be run again for nearly every input. The answers are
// remembered (a few dozen at most); the result is the same, only sooner.
bool RememberedPbkdf2(std::string_view password, const uint8_t* salt, size_t saltLength,
                      uint32_t iterations, uint8_t* out, size_t outLength) {
    static std::mutex lock;
    static std::map<std::string, std::string> known;
    std::string key(password);
    key.append(reinterpret_cast<const char*>(&iterations), sizeof iterations);
    key.append(reinterpret_cast<const char*>(&outLength), sizeof outLength);
    if (saltLength) key.append(reinterpret_cast<const char*>(salt), saltLength);
    {
        std::lock_guard<std::mutex> hold(lock);
        auto it = known.find(key);
        if (it != known.end()) {
            if (outLength) std::memcpy(out, it->second.data(), outLength);
            return true;
        }
    }
    if (!DerivePbkdf2(password, salt, saltLength, iterations, out, outLength)) return false;
    std::lock_guard<std::mutex> hold(lock);
    if (known.size() >= 64) known.clear();
    known.emplace(std::move(key), std::string(reinterpret_cast<const char*>(out), outLength));
    return true;
}
#endif

}  // namespace

bool Pbkdf2HmacSha1(std::string_view password, const uint8_t* salt, size_t saltLength,
                    uint32_t iterations, uint8_t* out, size_t outLength) {
    if (iterations == 0 || (saltLength > 0 && !salt) || (outLength > 0 && !out)) return false;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    return RememberedPbkdf2(password, salt, saltLength, iterations, out, outLength);
#else
    return DerivePbkdf2(password, salt, saltLength, iterations, out, outLength);
#endif
}

struct Sha256::Impl {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool started = false;
    ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { (void)Reset(); }
Sha256::~Sha256() = default;

bool Sha256::Reset() {
    impl_->started = impl_->ctx && EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) == 1;
    return impl_->started;
}

bool Sha256::Update(const void* data, size_t length) {
    return impl_->started && (length == 0 || EVP_DigestUpdate(impl_->ctx, data, length) == 1);
}

bool Sha256::Final(Sha256Digest& digest) {
    unsigned int size = 0;
    bool ok = impl_->started && EVP_DigestFinal_ex(impl_->ctx, digest.data(), &size) == 1 &&
              size == digest.size();
    impl_->started = false;
    return ok;
}

bool VerifyEcdsaP256(const EcP256Point& point, const Sha256Digest& digest, const uint8_t* der,
                     size_t derLength) {
    if (!EcdsaDerToRaw(der, derLength)) return false;
    // The key as a SubjectPublicKeyInfo: the fixed prefix of an uncompressed
    // P-256 point (id-ecPublicKey, prime256v1), then 04 || x || y.
    static const uint8_t kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                      0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                      0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    uint8_t spki[sizeof kPrefix + 64];
    std::memcpy(spki, kPrefix, sizeof kPrefix);
    std::memcpy(spki + sizeof kPrefix, point.data(), point.size());
    const unsigned char* p = spki;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, sizeof spki);
    if (!key) return false;  // not a point on the curve
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
              EVP_PKEY_verify(ctx, der, derLength, digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

bool RandomBytes(uint8_t* out, size_t length) {
    return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

void Wipe(void* data, size_t length) {
    if (data && length) OPENSSL_cleanse(data, length);
}

}  // namespace bv::crypto
