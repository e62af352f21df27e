// Breaking a long text into lines, and shortening a line in its middle.
#include "platform/text_lines.h"

#include <algorithm>

namespace bv::ui {

namespace {

constexpr wchar_t kEllipsis[] = L"\u2026";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool BreaksAfter(wchar_t c) { return c == L'/' || c == L'\\'; }

bool Fits(std::wstring_view piece, int width, const FitCount& fit) { return fit(piece, width) >= piece.size(); }

struct Line {
    size_t start;  // where the line begins in the text
    std::wstring text;
};

// Every line the whole text takes at `width`; none is empty.
std::vector<Line> Wrap(std::wstring_view text, int width, const FitCount& fit) {
    std::vector<Line> lines;
    size_t pos = 0;
    for (;;) {
        while (pos < text.size() && IsBlank(text[pos])) ++pos;
        if (pos >= text.size()) break;
        std::wstring_view rest = text.substr(pos);
        size_t n = fit(rest, width);
        if (n >= rest.size()) {
            size_t end = rest.size();
            while (end > 0 && IsBlank(rest[end - 1])) --end;
            lines.push_back({pos, std::wstring(rest.substr(0, end))});
            break;
        }
        // The last break that keeps the line within what fits: before a
        // blank, or after a slash. rest[0] is no blank, so the line is
        // never empty; without a break the run is cut where it stops fitting.
        size_t cut = 0;
        for (size_t i = n; i > 0 && cut == 0; --i)
            if (IsBlank(rest[i]) || BreaksAfter(rest[i - 1])) cut = i;
        if (cut == 0) cut = std::max<size_t>(n, 1);
        size_t end = cut;
        while (end > 0 && IsBlank(rest[end - 1])) --end;
        lines.push_back({pos, std::wstring(rest.substr(0, end))});
        pos += cut;
    }
    return lines;
}

}  // namespace

std::wstring MiddleEllipsis(std::wstring_view text, int width, const FitCount& fit) {
    if (Fits(text, width, fit)) return std::wstring(text);
    // Keep k characters, the larger half from the start; the more are kept,
    // the wider the line, so the largest k that fits is found by halving.
    auto shortened = [&](size_t k) {
        size_t head = (k + 1) / 2, tail = k / 2;
        return std::wstring(text.substr(0, head)) + kEllipsis + std::wstring(text.substr(text.size() - tail));
    };
    size_t low = 0, high = text.size() - 1;
    while (low < high) {
        size_t mid = (low + high + 1) / 2;
        if (Fits(shortened(mid), width, fit))
            low = mid;
        else
            high = mid - 1;
    }
    return shortened(low);
}

std::vector<std::wstring> FitLines(const std::wstring& text, int width, int maxLines, const FitCount& fit) {
    if (Fits(text, width, fit)) return {text};
    maxLines = std::max(maxLines, 1);
    std::vector<Line> lines = Wrap(text, width, fit);
    std::vector<std::wstring> out;
    if (lines.size() <= static_cast<size_t>(maxLines)) {
        for (Line& line : lines) out.push_back(std::move(line.text));
        return out;
    }
    for (int i = 0; i + 1 < maxLines; ++i) out.push_back(std::move(lines[static_cast<size_t>(i)].text));
    size_t restStart = lines[static_cast<size_t>(maxLines - 1)].start;
    std::wstring_view rest = std::wstring_view(text).substr(restStart);
    while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
    out.push_back(MiddleEllipsis(rest, width, fit));
    return out;
}

}  // namespace bv::ui
