// The product icon as shapes on a 96 by 96 grid, sampled 4 by 4 times per
// pixel at whatever size is asked, so it stays sharp at every display scale.
#include "platform/pictures.h"

#include <algorithm>
#include <cmath>

namespace bv::pictures {
namespace {

constexpr uint32_t kGreen = 0x188038;     // RGB 24, 128, 56
constexpr uint32_t kGold = 0xF0CAA6;      // RGB 240, 202, 166: the version label's colour
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr int kSamples = 4;               // per axis

bool InRoundRect(double x, double y, double left, double top, double right, double bottom, double r) {
    if (x < left || x >= right || y < top || y >= bottom) return false;
    double cx = std::clamp(x, left + r, right - r), cy = std::clamp(y, top + r, bottom - r);
    double dx = x - cx, dy = y - cy;
    return dx * dx + dy * dy <= r * r;
}

// A "D": a bar from `left` that ends in a half ellipse at `right`.
bool InD(double x, double y, double left, double top, double right, double bottom) {
    if (x < left || y < top || y >= bottom) return false;
    double ry = (bottom - top) / 2, cy = top + ry;
    double rx = std::min(ry, right - left), cx = right - rx;
    if (x <= cx) return true;
    double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1;
}

bool InPolygon(double x, double y, const double (*pts)[2], int n) {
    bool inside = false;
    for (int i = 0, j = n - 1; i < n; j = i++) {
        double xi = pts[i][0], yi = pts[i][1], xj = pts[j][0], yj = pts[j][1];
        if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    return inside;
}

// The initials "BV" in bold strokes, centred on the green tile.
bool InLetters(double x, double y) {
    // B: a stem and two bowls, the lower one a little wider.
    if (x >= 28 && x < 34.5 && y >= 11 && y < 33) return true;
    auto bowl = [&](double top, double bottom, double right) {
        return InD(x, y, 28, top, right, bottom) && !InD(x, y, 28, top + 4.5, right - 6, bottom - 4.5);
    };
    if (bowl(11, 22.5, 46) || bowl(20.5, 33, 48)) return true;
    // V: two strokes meeting at the baseline.
    static const double v[][2] = {{50, 11}, {56.5, 11}, {61.5, 27}, {66.5, 11}, {73, 11}, {65, 33}, {58, 33}};
    return InPolygon(x, y, v, 7);
}

// The colour at a point of the design grid, or nothing (alpha 0).
bool Sample(double x, double y, uint32_t& rgb) {
    if (InRoundRect(x, y, 4, 2, 92, 42, 6)) {
        rgb = InLetters(x, y) ? kWhite : kGreen;
        return true;
    }
    if (InRoundRect(x, y, 4, 48, 92, 94, 6)) {
        rgb = kGold;
        return true;
    }
    return false;
}

}  // namespace

Image DrawLogo(int size) {
    Image img;
    if (size <= 0) return img;
    img.width = img.height = size;
    img.pixels.assign(static_cast<size_t>(size) * size, 0);
    const double unit = 96.0 / size;
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            unsigned r = 0, g = 0, b = 0, hits = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    uint32_t rgb;
                    double x = (px + (sx + 0.5) / kSamples) * unit, y = (py + (sy + 0.5) / kSamples) * unit;
                    if (!Sample(x, y, rgb)) continue;
                    r += (rgb >> 16) & 0xFF, g += (rgb >> 8) & 0xFF, b += rgb & 0xFF, ++hits;
                }
            }
            if (hits == 0) continue;
            uint32_t a = (hits * 255 + kSamples * kSamples / 2) / (kSamples * kSamples);
            img.pixels[static_cast<size_t>(py) * size + px] =
                a << 24 | (r + hits / 2) / hits << 16 | (g + hits / 2) / hits << 8 | (b + hits / 2) / hits;
        }
    }
    return img;
}

Image Over(const Image& image, uint32_t background) {
    Image out = image;
    for (uint32_t& p : out.pixels) {
        uint32_t a = p >> 24, mixed = 0;
        for (int shift = 0; shift <= 16; shift += 8) {
            uint32_t fg = (p >> shift) & 0xFF, bg = (background >> shift) & 0xFF;
            mixed |= ((fg * a + bg * (255 - a) + 127) / 255) << shift;
        }
        p = 0xFF000000u | mixed;
    }
    return out;
}

namespace {

void Put16(std::string& out, unsigned v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// An icon image as a device-independent bitmap: the header with twice the
// height (colour rows and mask rows), 32-bit rows bottom-up, then the
// 1-bit mask, each row padded to 32 bits (set where the image is clear).
std::string IconBitmap(const Image& img) {
    std::string out;
    Put32(out, 40);
    Put32(out, static_cast<uint32_t>(img.width));
    Put32(out, static_cast<uint32_t>(img.height * 2));
    Put16(out, 1);
    Put16(out, 32);
    for (int i = 0; i < 6; ++i) Put32(out, 0);
    for (int y = img.height - 1; y >= 0; --y)
        for (int x = 0; x < img.width; ++x) Put32(out, img.at(x, y));
    const int maskRow = (img.width + 31) / 32 * 4;
    for (int y = img.height - 1; y >= 0; --y) {
        std::string row(static_cast<size_t>(maskRow), '\0');
        for (int x = 0; x < img.width; ++x)
            if ((img.at(x, y) >> 24) == 0) row[static_cast<size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
        out += row;
    }
    return out;
}

}  // namespace

std::string EncodeIco(const std::vector<Image>& images, std::string (*png)(const Image&)) {
    std::vector<std::string> bodies;
    for (const Image& img : images)
        bodies.push_back(img.width >= 256 && png ? png(img) : IconBitmap(img));
    std::string out;
    Put16(out, 0);
    Put16(out, 1);  // icon
    Put16(out, static_cast<unsigned>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        // A side of 256 is written as 0.
        out.push_back(static_cast<char>(images[i].width & 0xFF));
        out.push_back(static_cast<char>(images[i].height & 0xFF));
        out.push_back(0);  // no palette
        out.push_back(0);
        Put16(out, 1);   // planes
        Put16(out, 32);  // bits per pixel
        Put32(out, static_cast<uint32_t>(bodies[i].size()));
        Put32(out, offset);
        offset += static_cast<uint32_t>(bodies[i].size());
    }
    for (const std::string& body : bodies) out += body;
    return out;
}

}  // namespace bv::pictures
