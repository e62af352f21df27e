// The conversions that need no system: UTF-8 validation and UTF-16LE bytes
// to text and back. Text is UTF-16 on Windows; native builds have a 32-bit
// wchar_t, where a surrogate pair becomes one character and back.
#include <cstdint>

#include "platform/os.h"

namespace bv::os {
namespace {

void PutUnit(std::string& out, uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t extra;
        uint32_t c;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cont = static_cast<unsigned char>(s[i + k]);
            if ((cont & 0xC0) != 0x80) return false;
            c = (c << 6) | (cont & 0x3F);
        }
        static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::wstring FromUtf16Le(std::string_view bytes) {
    std::wstring out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t u = uint8_t(bytes[i]) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
        if constexpr (sizeof(wchar_t) == 4) {
            if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
                uint32_t lo = uint8_t(bytes[i + 2]) | (uint32_t(uint8_t(bytes[i + 3])) << 8);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
                    i += 2;
                    continue;
                }
            }
        }
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

std::string ToUtf16Le(std::wstring_view text, uint32_t& units) {
    std::string out;
    units = 0;
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            c -= 0x10000;
            PutUnit(out, 0xD800 + (c >> 10));
            PutUnit(out, 0xDC00 + (c & 0x3FF));
            units += 2;
        } else {
            PutUnit(out, c & 0xFFFF);
            units += 1;
        }
    }
    return out;
}

}  // namespace bv::os
