// Long texts on a control's lines: where lines break, and how a text that
// needs more lines than there are keeps both its ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_lines.h"

namespace bv::ui {
namespace {

// Every character one pixel wide.
size_t ByCount(std::wstring_view piece, int width) { return std::min(piece.size(), static_cast<size_t>(std::max(width, 0))); }

// Narrow and wide letters, as a proportional font has them.
int CharWidth(wchar_t c) {
    if (c == L'i' || c == L'l' || c == L'.' || c == L':' || c == L'/') return 3;
    return c == L'w' || c == L'm' ? 9 : 6;
}

size_t Proportional(std::wstring_view piece, int width) {
    int used = 0;
    for (size_t i = 0; i < piece.size(); ++i) {
        used += CharWidth(piece[i]);
        if (used > width) return i;
    }
    return piece.size();
}

int Width(const std::wstring& line) {
    int w = 0;
    for (wchar_t c : line) w += CharWidth(c);
    return w;
}

TEST(TextLines, BreaksAfterBlanksAndSlashesAndInsideLongRuns) {
    struct Case {
        std::wstring text;
        int width, maxLines;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {L"short", 10, 3, {L"short"}},
        {L"", 10, 3, {L""}},
        {L"aaa bbb ccc", 7, 3, {L"aaa bbb", L"ccc"}},
        // Blanks at a break, at the start and at the end are not drawn.
        {L"  abc def  ", 5, 3, {L"abc", L"def"}},
        // An address breaks after a slash, which stays on its line.
        {L"http://h:1/dir/file.___", 12, 3, {L"http://h:1/", L"dir/file.___"}},
        {L"C:\\BV500\\ZOVozivu.___", 10, 3, {L"C:\\BV500\\", L"ZOVozivu._", L"__"}},
        // A run without a break is cut where it stops fitting.
        {L"abcdefghij", 4, 5, {L"abcd", L"efgh", L"ij"}},
        // Too many lines: the last one keeps the start of the rest and the
        // text's very end.
        {L"abcdefghij", 4, 2, {L"abcd", L"ef\u2026j"}},
        {L"one two three four five", 9, 2, {L"one two", L"thre\u2026five"}},
        // One line: start and end around the ellipsis.
        {L"abcdefghij", 5, 1, {L"ab\u2026ij"}},
        {L"abcdefghij", 5, 0, {L"ab\u2026ij"}},
        // No room at all still ends, one character a line.
        {L"ab", 0, 3, {L"a", L"b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ", " << c.maxLines << " lines");
        EXPECT_EQ(FitLines(c.text, c.width, c.maxLines, ByCount), c.lines);
    }
}

// The status panel's failure text at its real proportions: every line fits,
// the text's start opens the first line and its end closes the last, on two
// lines as on three.
TEST(TextLines, AFailureTextKeepsItsStartAndItsEnd) {
    const std::wstring text =
        L"Failed to download from URL: http://127.0.0.1:18931/bvfiles/bvstartup/zovozivu.___";
    for (int maxLines : {1, 2, 3}) {
        SCOPED_TRACE(maxLines);
        std::vector<std::wstring> lines = FitLines(text, 150, maxLines, Proportional);
        ASSERT_FALSE(lines.empty());
        EXPECT_LE(lines.size(), static_cast<size_t>(maxLines));
        for (const std::wstring& line : lines) EXPECT_LE(Width(line), 150) << std::string(line.begin(), line.end());
        EXPECT_EQ(lines.front().substr(0, 6), L"Failed");
        EXPECT_EQ(lines.back().substr(lines.back().size() - 10), L"vozivu.___");
    }
    // With lines enough, nothing is left out.
    std::vector<std::wstring> all = FitLines(text, 150, 10, Proportional);
    std::wstring joined;
    for (const std::wstring& line : all) joined += (joined.empty() || joined.back() == L'/' ? L"" : L" ") + line;
    EXPECT_EQ(joined, text);
    EXPECT_EQ(all.front(), L"Failed to download from");
}

TEST(TextLines, MiddleEllipsisKeepsAsMuchAsFits) {
    EXPECT_EQ(MiddleEllipsis(L"abcdef", 6, ByCount), L"abcdef");
    EXPECT_EQ(MiddleEllipsis(L"abcdefg", 6, ByCount), L"abc\u2026fg");
    EXPECT_EQ(MiddleEllipsis(L"abcdefg", 1, ByCount), L"\u2026");
    EXPECT_EQ(MiddleEllipsis(L"abcdefg", 0, ByCount), L"\u2026");
}

}  // namespace
}  // namespace bv::ui
