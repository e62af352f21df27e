// String, path and field helpers shared by the wizard, the archive handling,
// the web helpers and the settings store. Positions are 1-based.
#pragma once
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

namespace bv {

// A set of separator characters with codes 0-255; characters above 255 are
// never separators.
class CharSet {
public:
    CharSet() = default;
    CharSet(std::initializer_list<wchar_t> chars) {
        for (wchar_t c : chars) add(c);
    }
    void add(wchar_t c) {
        if (static_cast<uint32_t>(c) <= 255) bits_.set(static_cast<size_t>(c));
    }
    bool contains(wchar_t c) const {
        return static_cast<uint32_t>(c) <= 255 && bits_.test(static_cast<size_t>(c));
    }

private:
    std::bitset<256> bits_;
};

// The character at 1-based `position`, or L'\0' where there is none.
wchar_t CharAt(std::wstring_view text, int32_t position);

// Appends "\" unless the text is empty or ends in ":" or "\".
std::wstring AddBackslash(std::wstring_view text);
// Removes one trailing "\".
std::wstring DropTrailingBackslash(std::wstring_view text);
// Appends "/" to a non-empty text that does not end in one.
std::wstring AddTrailingSlash(std::wstring_view text);
// The folder part of a path, up to and with its last "\" or "/"; empty when
// the path has no separator.
std::wstring FolderOf(std::wstring_view path);
// What follows the last "\" or "/" of a path: the whole path when it has none.
std::wstring NameOf(std::wstring_view path);

// Puts a blank into empty fields of comma and semicolon lists.
std::wstring NormalizeSeparators(std::wstring_view text);
// Number of fields (8-bit: 256 fields count as 0).
uint8_t CountFields(std::wstring_view text, const CharSet& separators);
// The n-th field (1-based); empty text when there is no such field.
std::wstring ExtractField(int32_t n, std::wstring_view text, const CharSet& separators);

// True when `sub` occurs in `text`; both non-empty. Without case sensitivity
// both are compared in the user's locale's upper case.
bool ContainsSubText(std::wstring_view sub, std::wstring_view text, bool caseSensitive);

// "Y"/"N", "YES"/"NO", "TRUE"/"FALSE", "ON"/"OFF", "NEW"/"USED", "NEW"/"UPGRADE"
// for styles 1 to 6; empty text for any other style.
std::wstring BoolToWord(bool value, unsigned style);

// Removes characters of code 32 and below from both ends.
std::wstring Trim(std::wstring_view text);
// Lower case of the letters A to Z only.
std::wstring LowerAscii(std::wstring_view text);
// Replaces every occurrence of `from` by `to`.
std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to);

}  // namespace bv
