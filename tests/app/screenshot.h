// Saves what a window shows as a PNG file, for people to look at.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bv::test {

// What a window shows, top row first, each pixel 0x00RRGGBB.
struct Pixels {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;
    uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

// The window's pixels, its frame included (empty when it has no size).
Pixels CaptureWindow(HWND hwnd);

// Captures the window's pixels and writes them as an 8-bit RGB PNG.
bool SaveWindowPng(HWND hwnd, const std::string& path);

}  // namespace bv::test
