// A text too wide for one line, laid out on the lines a control has room
// for, whatever draws it: the caller measures.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bv::ui {

// How many leading characters of `piece` fit in `width` pixels.
using FitCount = std::function<size_t(std::wstring_view piece, int width)>;

// The lines on which to draw `text`: at most `maxLines` lines, each fitting
// in `width`. A text that fits is its one line. Lines break after a blank
// (which is dropped) or after a slash or backslash (kept, so addresses and
// paths break between their parts); a run with neither is broken between
// characters. When the text needs more lines than there are, the last line
// holds the beginning of the rest and the text's very end, joined by an
// ellipsis: both the start and the end of the text can be read.
std::vector<std::wstring> FitLines(const std::wstring& text, int width, int maxLines, const FitCount& fit);

// `text` on one line of `width`: whole when it fits, otherwise its start and
// its end joined by an ellipsis, each taking about half.
std::wstring MiddleEllipsis(std::wstring_view text, int width, const FitCount& fit);

}  // namespace bv::ui
