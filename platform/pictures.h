// The product icon, drawn by our own code at any size: the window draws it
// into the banner at the display's scale, and the build writes it into the
// programs' icon file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bv::pictures {

// Pixels top row first, each 0xAARRGGBB with straight (not premultiplied)
// alpha.
struct Image {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The product icon, size by size: a green tile with the product's initials
// above a gold tile, transparent around them. Designed on a 96 by 96 grid.
Image DrawLogo(int size);

// The image composed over an opaque background colour (0xRRGGBB).
Image Over(const Image& image, uint32_t background);

// An icon file (.ico) holding the images, each at most 256 by 256: 32-bit
// bitmaps, and PNG for the 256 size, whose bytes `png` makes (empty: a
// bitmap for that one too).
std::string EncodeIco(const std::vector<Image>& images,
                      std::string (*png)(const Image&) = nullptr);

}  // namespace bv::pictures
