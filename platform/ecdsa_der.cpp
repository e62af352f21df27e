// The DER form of an ECDSA signature, read into the fixed-width r || s that
// BCrypt takes. Both backends read a signature through here first, so they
// accept and refuse the same encodings.
#include <cstring>

#include "platform/crypto.h"

namespace bv::crypto {
namespace {

// One INTEGER at `pos`, written right-aligned into `out` (32 bytes).
bool ReadInteger(const uint8_t* der, size_t end, size_t& pos, uint8_t* out) {
    if (pos + 2 > end || der[pos] != 0x02) return false;
    size_t length = der[pos + 1];
    pos += 2;
    // Short-form length only: a P-256 number takes at most 33 bytes.
    if (length == 0 || length > 33 || pos + length > end) return false;
    const uint8_t* value = der + pos;
    pos += length;
    if (value[0] & 0x80) return false;  // negative
    if (value[0] == 0 && length > 1) {
        if (!(value[1] & 0x80)) return false;  // a leading zero that is not needed
        ++value;
        --length;
    }
    if (length > 32) return false;
    std::memset(out, 0, 32);
    std::memcpy(out + 32 - length, value, length);
    for (size_t i = 0; i < 32; ++i)
        if (out[i]) return true;
    return false;  // zero is never a valid r or s
}

}  // namespace

std::optional<std::array<uint8_t, 64>> EcdsaDerToRaw(const uint8_t* der, size_t length) {
    if (!der || length < 2 || der[0] != 0x30) return std::nullopt;
    size_t content = der[1];
    if (content >= 0x80 || content + 2 != length) return std::nullopt;
    std::array<uint8_t, 64> raw{};
    size_t pos = 2;
    if (!ReadInteger(der, length, pos, raw.data()) || !ReadInteger(der, length, pos, raw.data() + 32))
        return std::nullopt;
    if (pos != length) return std::nullopt;
    return raw;
}

}  // namespace bv::crypto
