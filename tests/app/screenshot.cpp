// Window screenshots as PNG: the pixels are read back from the window's own
// surface and written with zlib as a minimal PNG (IHDR, one IDAT, IEND).
#include "tests/app/screenshot.h"

#include <zlib.h>

#include <cstdio>
#include <vector>

namespace bv::test {
namespace {

void Put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void Chunk(std::string& out, const char* type, const std::string& data) {
    Put32(out, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    Put32(out, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                           static_cast<uInt>(body.size()))));
}

}  // namespace

Pixels CaptureWindow(HWND hwnd) {
    Pixels out;
    RECT r;
    GetWindowRect(hwnd, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return out;
    HDC src = GetWindowDC(hwnd);
    HDC mem = CreateCompatibleDC(src);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(src, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, src, 0, 0, SRCCOPY);
    GdiFlush();
    out.width = w;
    out.height = h;
    const uint32_t* px = static_cast<const uint32_t*>(bits);
    out.rgb.assign(px, px + static_cast<size_t>(w) * h);
    for (uint32_t& p : out.rgb) p &= 0xFFFFFF;
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(hwnd, src);
    return out;
}

bool SaveWindowPng(HWND hwnd, const std::string& path) {
    Pixels pixels = CaptureWindow(hwnd);
    int w = pixels.width, h = pixels.height;
    if (w <= 0 || h <= 0) return false;
    std::string raw;
    raw.reserve(static_cast<size_t>(h) * (1 + 3 * static_cast<size_t>(w)));
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < w; ++x) {
            uint32_t p = pixels.at(x, y);
            raw.push_back(static_cast<char>((p >> 16) & 0xFF));
            raw.push_back(static_cast<char>((p >> 8) & 0xFF));
            raw.push_back(static_cast<char>(p & 0xFF));
        }
    }

    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    std::string z(zlen, '\0');
    if (compress2(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 6) != Z_OK)
        return false;
    z.resize(zlen);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    Put32(ihdr, static_cast<uint32_t>(w));
    Put32(ihdr, static_cast<uint32_t>(h));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace bv::test
