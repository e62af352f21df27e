// Saves what a window shows as a PNG file, for people to look at.
#pragma once
#include <windows.h>

#include <string>

namespace bv::test {

// Captures the window's pixels and writes them as an 8-bit RGB PNG.
bool SaveWindowPng(HWND hwnd, const std::string& path);

}  // namespace bv::test
