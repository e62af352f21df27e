// String, path and field helpers.
#include <gtest/gtest.h>

#include "util/strings.h"

namespace bv {
namespace {

struct FieldCase {
    const wchar_t* text;
    std::vector<wchar_t> separators;
    int count;
    std::vector<std::wstring> fields;
};

TEST(Fields, CountAndExtractAgreeOnTheDocumentedExamples) {
    const FieldCase cases[] = {
        {L"a|b|c", {L'|'}, 3, {L"a", L"b", L"c"}},
        {L"a||b", {L'|'}, 3, {L"a", L"", L"b"}},
        {L"a|||b", {L'|'}, 4, {L"a", L"", L"", L"b"}},
        {L"|a", {L'|'}, 1, {L"a"}},
        {L"||a", {L'|'}, 2, {L"", L"a"}},
        {L"a|", {L'|'}, 1, {L"a"}},
        {L"a||", {L'|'}, 2, {L"a", L""}},
        {L"|", {L'|'}, 0, {}},
        {L" a | b ", {L'|'}, 2, {L" a ", L" b "}},
        {L"a | | b", {L'|', L' '}, 3, {L"a", L"", L"b"}},
        {L"a,,b|c", {L'|'}, 2, {L"a, ,b", L"c"}},
        {L"x;;y", {L';'}, 3, {L"x", L" ", L"y"}},
        {L";x", {L';'}, 2, {L" ", L"x"}},
        {L"x;", {L';'}, 1, {L"x"}},
        {L"zoded.___;ZODed.___", {L';'}, 2, {L"zoded.___", L"ZODed.___"}},
    };
    for (const FieldCase& c : cases) {
        CharSet set;
        for (wchar_t s : c.separators) set.add(s);
        SCOPED_TRACE(testing::Message() << "text: " << std::string(c.text, c.text + wcslen(c.text)));
        EXPECT_EQ(CountFields(c.text, set), c.count);
        for (size_t i = 0; i < c.fields.size(); ++i)
            EXPECT_EQ(ExtractField(static_cast<int32_t>(i + 1), c.text, set), c.fields[i]);
        EXPECT_EQ(ExtractField(static_cast<int32_t>(c.fields.size() + 1), c.text, set), L"");
        EXPECT_EQ(ExtractField(0, c.text, set), L"");
        EXPECT_EQ(ExtractField(-1, c.text, set), L"");
    }
}

TEST(Fields, BlankTextsAndOverflow) {
    CharSet bar{L'|'};
    EXPECT_EQ(CountFields(L"   ", bar), 0);
    EXPECT_EQ(ExtractField(1, L"   ", bar), L"   ");
    EXPECT_EQ(CountFields(L"", bar), 0);
    EXPECT_EQ(ExtractField(1, L"", bar), L"");
    // The count is 8 bits wide: 256 fields count as 0, 257 as 1.
    std::wstring many = L"f";
    for (int i = 1; i < 256; ++i) many += L"|f";
    EXPECT_EQ(CountFields(many, bar), 0);
    EXPECT_EQ(CountFields(many + L"|g", bar), 1);
    EXPECT_EQ(ExtractField(257, many + L"|g", bar), L"g");
    // Characters above 255 are never separators.
    CharSet wide{static_cast<wchar_t>(0x2502)};
    EXPECT_EQ(CountFields(L"a\u2502b", wide), 1);
}

TEST(Separators, NormalizeFillsEmptyCommaAndSemicolonFields) {
    EXPECT_EQ(NormalizeSeparators(L",,,"), L" , , ,");
    EXPECT_EQ(NormalizeSeparators(L"a;;;b"), L"a; ; ;b");
    EXPECT_EQ(NormalizeSeparators(L";a"), L" ;a");
    EXPECT_EQ(NormalizeSeparators(L"a,"), L"a,");
    EXPECT_EQ(NormalizeSeparators(L""), L"");
}

TEST(Paths, BackslashAndSlashRules) {
    struct Case {
        std::wstring (*fn)(std::wstring_view);
        const wchar_t* in;
        const wchar_t* out;
    };
    const Case cases[] = {
        {AddBackslash, L"", L""},
        {AddBackslash, L"C:", L"C:"},
        {AddBackslash, L"C:\\Farm", L"C:\\Farm\\"},
        {AddBackslash, L"C:\\Farm\\", L"C:\\Farm\\"},
        {DropTrailingBackslash, L"C:\\Farm\\\\", L"C:\\Farm\\"},
        {DropTrailingBackslash, L"C:\\Farm", L"C:\\Farm"},
        {DropTrailingBackslash, L"", L""},
        {AddTrailingSlash, L"", L""},
        {AddTrailingSlash, L"http://h/bv/", L"http://h/bv/"},
        {AddTrailingSlash, L"http://h/bv", L"http://h/bv/"},
        {FolderOf, L"C:\\Farm\\herd.zip", L"C:\\Farm\\"},
        {FolderOf, L"sub/dir/a.txt", L"sub/dir/"},
        {FolderOf, L"C:\\Farm\\", L"C:\\Farm\\"},
        {FolderOf, L"herd.zip", L""},
        {NameOf, L"C:\\Farm\\herd.zip", L"herd.zip"},
        {NameOf, L"sub/a.txt", L"a.txt"},
        {NameOf, L"C:\\Farm\\", L""},
        {NameOf, L"herd.zip", L"herd.zip"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.fn(c.in), c.out);
}

TEST(Chars, CharAtGivesNullOutsideTheText) {
    EXPECT_EQ(CharAt(L"abc", 1), L'a');
    EXPECT_EQ(CharAt(L"abc", 3), L'c');
    EXPECT_EQ(CharAt(L"abc", 0), L'\0');
    EXPECT_EQ(CharAt(L"abc", 4), L'\0');
    EXPECT_EQ(CharAt(L"", 1), L'\0');
}

TEST(Words, ContainsSubTextAndBoolToWord) {
    EXPECT_TRUE(ContainsSubText(L"farm", L"C:\\Farm\\", false));
    EXPECT_FALSE(ContainsSubText(L"farm", L"C:\\Farm\\", true));
    EXPECT_TRUE(ContainsSubText(L"ZOVOZIVU", L"d:\\zovozivu2", false));
    EXPECT_FALSE(ContainsSubText(L"", L"abc", false));
    EXPECT_FALSE(ContainsSubText(L"a", L"", false));
    EXPECT_EQ(BoolToWord(false, 3), L"FALSE");
    EXPECT_EQ(BoolToWord(true, 1), L"Y");
    EXPECT_EQ(BoolToWord(false, 6), L"UPGRADE");
    EXPECT_EQ(BoolToWord(true, 6), L"NEW");
    EXPECT_EQ(BoolToWord(true, 7), L"");
    EXPECT_EQ(BoolToWord(true, 0), L"");
}

}  // namespace
}  // namespace bv
