// The conversions that need no system, in both builds: a character outside
// the Basic Multilingual Plane is one surrogate pair on the wire whatever the
// width of wchar_t, and malformed UTF-8 is told apart from text.
#include <gtest/gtest.h>

#include <string>

#include "platform/os.h"

namespace bv::os {
namespace {

// U+1F404 (a cow) as text of this build: one character or a surrogate pair.
std::wstring Cow() {
    if constexpr (sizeof(wchar_t) == 4) return std::wstring(1, static_cast<wchar_t>(0x1F404));
    return std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDC04)};
}

TEST(TextCodecs, Utf16LeRoundTripsWithSurrogatePairs) {
    const std::wstring text = L"K\u00e4se " + Cow() + L"!";
    uint32_t units = 0;
    std::string bytes = ToUtf16Le(text, units);
    EXPECT_EQ(units, 8u);
    EXPECT_EQ(bytes, std::string("K\0\xe4\0s\0e\0 \0\x3d\xd8\x04\xdc!\0", 16));
    EXPECT_EQ(FromUtf16Le(bytes), text);
    // An odd last byte is not half a character.
    EXPECT_EQ(FromUtf16Le(bytes + "x"), text);
}

TEST(TextCodecs, Utf8Validity) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"K\xc3\xa4se", true},
        {"\xf0\x9f\x90\x84", true},
        {"K\xe4se", false},           // ANSI, not UTF-8
        {"\xc0\xaf", false},          // overlong "/"
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xe2\x82", false},          // cut off
    };
    for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
}

#ifndef _WIN32
// The native build's fixed code pages (1252 and 437; Windows uses the
// user's): every byte comes back as itself after a trip through Unicode,
// and a character the page lacks becomes "?".
TEST(TextCodecs, CodePagesRoundTripEveryByte) {
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(os::ToAnsi(os::FromAnsi(all)), all);
    EXPECT_EQ(os::ToOem(os::FromOem(all)), all);
    EXPECT_EQ(os::FromAnsi("\x80\x9f"), L"\u20AC\u0178");
    EXPECT_EQ(os::FromOem("\x80\xe1"), L"\u00C7\u00DF");
    EXPECT_EQ(os::ToAnsi(L"a\u4E2D\u2591b"), "a??b");
    EXPECT_EQ(os::ToOem(L"\u2591\u20AC"), "\xb0?");
}
#endif

}  // namespace
}  // namespace bv::os
