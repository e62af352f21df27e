// The product icon's drawing and the icon file it is written into.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/pictures.h"

namespace bv::pictures {
namespace {

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}
unsigned Le16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8;
}

TEST(Logo, IsTheSameDesignAtEverySize) {
    for (int size : {1, 16, 24, 96, 144, 256}) {
        SCOPED_TRACE(size);
        Image img = DrawLogo(size);
        ASSERT_EQ(img.width, size);
        ASSERT_EQ(img.height, size);
        ASSERT_EQ(img.pixels.size(), static_cast<size_t>(size) * size);
        if (size < 16) continue;
        auto at = [&](int x, int y) { return img.at(x * size / 96, y * size / 96); };
        EXPECT_EQ(at(94, 45) >> 24, 0u) << "clear between the tiles";
        EXPECT_EQ(at(10, 22), 0xFF188038u) << "green tile";
        EXPECT_EQ(at(48, 71), 0xFFF0CAA6u) << "gold tile";
        EXPECT_EQ(at(30, 22), 0xFFFFFFFFu) << "the stem of the B";
    }
    EXPECT_TRUE(DrawLogo(0).pixels.empty());
}

TEST(Logo, OverABackgroundIsOpaque) {
    Image img = Over(DrawLogo(32), 0x123456);
    EXPECT_EQ(img.at(0, 0), 0xFF123456u);
    EXPECT_EQ(img.at(3, 7), 0xFF188038u);
    for (uint32_t p : img.pixels) EXPECT_EQ(p >> 24, 0xFFu);
}

std::string FakePng(const Image& img) { return "PNG" + std::to_string(img.width); }

TEST(IconFile, DirectoryPointsAtEachImageInTurn) {
    std::vector<Image> images = {DrawLogo(16), DrawLogo(33), DrawLogo(256)};
    std::string ico = EncodeIco(images, FakePng);
    ASSERT_GE(ico.size(), 6u + 3 * 16);
    EXPECT_EQ(Le16(ico, 0), 0u);
    EXPECT_EQ(Le16(ico, 2), 1u);
    ASSERT_EQ(Le16(ico, 4), 3u);
    size_t next = 6 + 3 * 16;
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(i);
        size_t entry = 6 + 16 * i;
        int side = images[i].width;
        EXPECT_EQ(static_cast<uint8_t>(ico[entry]), side & 0xFF) << "256 is written as 0";
        EXPECT_EQ(Le16(ico, entry + 6), 32u);
        uint32_t size = Le32(ico, entry + 8), offset = Le32(ico, entry + 12);
        EXPECT_EQ(offset, next);
        ASSERT_LE(static_cast<size_t>(offset) + size, ico.size());
        if (side == 256) {
            EXPECT_EQ(ico.substr(offset, size), "PNG256");
        } else {
            // Header, colour rows, mask rows padded to 32 bits.
            EXPECT_EQ(Le32(ico, offset), 40u);
            EXPECT_EQ(Le32(ico, offset + 4), static_cast<uint32_t>(side));
            EXPECT_EQ(Le32(ico, offset + 8), static_cast<uint32_t>(2 * side));
            EXPECT_EQ(size, 40u + 4u * side * side + static_cast<uint32_t>((side + 31) / 32 * 4 * side));
            // Rows bottom first; the mask is set exactly where the image is clear.
            const Image& img = images[i];
            size_t mask = offset + 40 + 4u * side * side, maskRow = static_cast<size_t>((side + 31) / 32 * 4);
            int wrong = 0;
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x) {
                    size_t row = static_cast<size_t>(side - 1 - y);
                    uint32_t pixel = Le32(ico, offset + 40 + 4 * (row * side + static_cast<size_t>(x)));
                    bool masked = (static_cast<uint8_t>(ico[mask + row * maskRow + static_cast<size_t>(x / 8)]) &
                                   (0x80 >> (x % 8))) != 0;
                    wrong += pixel != img.at(x, y) || masked != (img.at(x, y) >> 24 == 0);
                }
            EXPECT_EQ(wrong, 0);
        }
        next = offset + size;
    }
    EXPECT_EQ(next, ico.size());
}

}  // namespace
}  // namespace bv::pictures
