// Native implementation of the OS services: the C++ and POSIX libraries, with
// fixed code pages 1252 (ANSI) and 437 (OEM) as a Western Windows has them.
#include "platform/os.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <fstream>

namespace bv::os {
namespace {

std::atomic<uint32_t> g_mainThread{0};

// Unicode of the bytes 0x80..0xFF. Bytes 1252 leaves undefined map to the
// C1 control of the same number, as Windows does.
const char16_t kCp1252High[129] =
    u"\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\u008D\u017D\u008F"
    u"\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\u009D\u017E\u0178"
    u"\u00A0\u00A1\u00A2\u00A3\u00A4\u00A5\u00A6\u00A7\u00A8\u00A9\u00AA\u00AB\u00AC\u00AD\u00AE\u00AF"
    u"\u00B0\u00B1\u00B2\u00B3\u00B4\u00B5\u00B6\u00B7\u00B8\u00B9\u00BA\u00BB\u00BC\u00BD\u00BE\u00BF"
    u"\u00C0\u00C1\u00C2\u00C3\u00C4\u00C5\u00C6\u00C7\u00C8\u00C9\u00CA\u00CB\u00CC\u00CD\u00CE\u00CF"
    u"\u00D0\u00D1\u00D2\u00D3\u00D4\u00D5\u00D6\u00D7\u00D8\u00D9\u00DA\u00DB\u00DC\u00DD\u00DE\u00DF"
    u"\u00E0\u00E1\u00E2\u00E3\u00E4\u00E5\u00E6\u00E7\u00E8\u00E9\u00EA\u00EB\u00EC\u00ED\u00EE\u00EF"
    u"\u00F0\u00F1\u00F2\u00F3\u00F4\u00F5\u00F6\u00F7\u00F8\u00F9\u00FA\u00FB\u00FC\u00FD\u00FE\u00FF";

const char16_t kCp437High[129] =
    u"\u00C7\u00FC\u00E9\u00E2\u00E4\u00E0\u00E5\u00E7\u00EA\u00EB\u00E8\u00EF\u00EE\u00EC\u00C4\u00C5"
    u"\u00C9\u00E6\u00C6\u00F4\u00F6\u00F2\u00FB\u00F9\u00FF\u00D6\u00DC\u00A2\u00A3\u00A5\u20A7\u0192"
    u"\u00E1\u00ED\u00F3\u00FA\u00F1\u00D1\u00AA\u00BA\u00BF\u2310\u00AC\u00BD\u00BC\u00A1\u00AB\u00BB"
    u"\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255D\u255C\u255B\u2510"
    u"\u2514\u2534\u252C\u251C\u2500\u253C\u255E\u255F\u255A\u2554\u2569\u2566\u2560\u2550\u256C\u2567"
    u"\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256B\u256A\u2518\u250C\u2588\u2584\u258C\u2590\u2580"
    u"\u03B1\u00DF\u0393\u03C0\u03A3\u03C3\u00B5\u03C4\u03A6\u0398\u03A9\u03B4\u221E\u03C6\u03B5\u2229"
    u"\u2261\u00B1\u2265\u2264\u2320\u2321\u00F7\u2248\u00B0\u2219\u00B7\u221A\u207F\u00B2\u25A0\u00A0";

// The byte (0x80..0xFF) of each character of the code page's upper half,
// 0 for characters it lacks; built once per code page. Names from archives
// are full of such characters, and a search of the 128 entries per
// character was most of the cost of decoding them.
struct Reverse {
    explicit Reverse(const char16_t* high) {
        for (int i = 127; i >= 0; --i) bytes[high[i]] = static_cast<uint8_t>(0x80 + i);
    }
    uint8_t bytes[0x10000] = {};
};

std::string Encode(std::wstring_view text, const Reverse& reverse) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const uint32_t u = static_cast<uint32_t>(c);
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
            continue;
        }
        const uint8_t byte = u < 0x10000 ? reverse.bytes[u] : 0;
        out.push_back(byte ? static_cast<char>(byte) : '?');
    }
    return out;
}

std::wstring Decode(std::string_view bytes, const char16_t* high) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes)
        out.push_back(b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(high[b - 0x80]));
    return out;
}

}  // namespace

LocalTime Now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm parts{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
            parts.tm_min,         parts.tm_sec,     static_cast<int>(tv.tv_usec / 1000)};
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void RecordMainThread() {
    uint32_t expected = 0;
    g_mainThread.compare_exchange_strong(expected, CurrentThreadId());
}

uint32_t MainThreadId() { return g_mainThread.load(); }

std::vector<std::wstring> CommandLineParameters() {
    // /proc/self/cmdline holds the arguments NUL-separated, program first.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> params;
    size_t start = 0;
    bool first = true;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        if (!first) params.push_back(FromUtf8(std::string_view(all).substr(start, end - start)));
        first = false;
        start = end + 1;
    }
    return params;
}

std::string ToAnsi(std::wstring_view text) {
    static const Reverse reverse(kCp1252High);
    return Encode(text, reverse);
}
std::wstring FromAnsi(std::string_view bytes) { return Decode(bytes, kCp1252High); }
std::string ToOem(std::wstring_view text) {
    static const Reverse reverse(kCp437High);
    return Encode(text, reverse);
}
std::wstring FromOem(std::string_view bytes) { return Decode(bytes, kCp437High); }

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring FromUtf8(std::string_view bytes) {
    std::wstring out;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= bytes.size()) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        uint32_t c = extra == 0 ? b : (b & (0x3F >> extra));
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cont = static_cast<unsigned char>(bytes[i + k]);
            if ((cont & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    return out;
}

std::wstring SystemErrorText(uint32_t code) {
    // Called from the user-interface thread only, so the shared buffer of
    // strerror is good enough.
    return FromUtf8(std::strerror(static_cast<int>(code)));
}

std::wstring UpperLocale(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

DateTimeSeparators LocaleSeparators() { return {}; }

}  // namespace bv::os
