// String, path and field helpers.
#include "util/strings.h"

#include "platform/os.h"

namespace bv {

wchar_t CharAt(std::wstring_view text, int32_t position) {
    if (position <= 0 || static_cast<size_t>(position) > text.size()) return L'\0';
    return text[static_cast<size_t>(position) - 1];
}

std::wstring AddBackslash(std::wstring_view text) {
    wchar_t last = CharAt(text, static_cast<int32_t>(text.size()));
    if (last == L'\0' || last == L':' || last == L'\\') return std::wstring(text);
    return std::wstring(text) + L'\\';
}

std::wstring DropTrailingBackslash(std::wstring_view text) {
    if (!text.empty() && text.back() == L'\\') text.remove_suffix(1);
    return std::wstring(text);
}

std::wstring FolderOf(std::wstring_view path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, cut + 1));
}

std::wstring NameOf(std::wstring_view path) {
    size_t cut = path.find_last_of(L"\\/");
    return std::wstring(cut == std::wstring_view::npos ? path : path.substr(cut + 1));
}

std::wstring AddTrailingSlash(std::wstring_view text) {
    if (!text.empty() && text.back() != L'/') return std::wstring(text) + L'/';
    return std::wstring(text);
}

std::wstring NormalizeSeparators(std::wstring_view input) {
    std::wstring text(input);
    if (!text.empty() && (text[0] == L',' || text[0] == L';')) text.insert(0, 1, L' ');
    for (const wchar_t* pair : {L",,", L";;"}) {
        // Each insertion leaves the text before it free of the pair, so the
        // search can go on from the inserted blank.
        size_t from = 0;
        while ((from = text.find(pair, from)) != std::wstring::npos) {
            text.insert(from + 1, 1, L' ');
            from += 1;
        }
    }
    return text;
}

namespace {

// Skips one separator run starting at `pos` (0-based). Blanks join runs
// freely; a second non-blank separator ends the run, marking an empty field.
size_t SkipSeparatorRun(const std::wstring& text, size_t pos, const CharSet& separators) {
    bool nonBlankSeen = false;
    while (pos < text.size() && separators.contains(text[pos])) {
        if (nonBlankSeen && text[pos] != L' ') break;
        if (text[pos] != L' ') nonBlankSeen = true;
        ++pos;
    }
    return pos;
}

}  // namespace

uint8_t CountFields(std::wstring_view input, const CharSet& separators) {
    std::wstring text = NormalizeSeparators(input);
    if (Trim(text).empty()) return 0;
    uint8_t count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        pos = SkipSeparatorRun(text, pos, separators);
        if (pos < text.size()) ++count;
        while (pos < text.size() && !separators.contains(text[pos])) ++pos;
    }
    return count;
}

std::wstring ExtractField(int32_t n, std::wstring_view input, const CharSet& separators) {
    std::wstring text = NormalizeSeparators(input);
    std::wstring result;
    if (text.empty()) return result;
    int32_t count = 0;
    size_t pos = 0;
    while (pos < text.size() && count != n) {
        pos = SkipSeparatorRun(text, pos, separators);
        if (pos < text.size()) ++count;
        while (pos < text.size() && !separators.contains(text[pos])) {
            if (count == n) result.push_back(text[pos]);
            ++pos;
        }
    }
    return result;
}

bool ContainsSubText(std::wstring_view sub, std::wstring_view text, bool caseSensitive) {
    if (sub.empty() || text.empty()) return false;
    if (caseSensitive) return text.find(sub) != std::wstring_view::npos;
    return os::UpperLocale(text).find(os::UpperLocale(sub)) != std::wstring::npos;
}

std::wstring BoolToWord(bool value, unsigned style) {
    static const wchar_t* const kWords[6][2] = {{L"N", L"Y"},       {L"NO", L"YES"},
                                                {L"FALSE", L"TRUE"}, {L"OFF", L"ON"},
                                                {L"USED", L"NEW"},   {L"UPGRADE", L"NEW"}};
    if (style < 1 || style > 6) return {};
    return kWords[style - 1][value ? 1 : 0];
}

std::wstring Trim(std::wstring_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<uint32_t>(text[b]) <= 32) ++b;
    while (e > b && static_cast<uint32_t>(text[e - 1]) <= 32) --e;
    return std::wstring(text.substr(b, e - b));
}

std::wstring LowerAscii(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return out;
}

std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to) {
    if (from.empty()) return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

}  // namespace bv
