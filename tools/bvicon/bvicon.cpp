// Writes the product icon file at build time: the logo drawn by the same
// code that draws the window's banner, at the sizes the shell asks for.
//   bvicon OUTPUT.ico
#include <zlib.h>

#include <cstdio>
#include <string>

#include "platform/pictures.h"

namespace {

void PutBE32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void Chunk(std::string& out, const char* type, const std::string& data) {
    PutBE32(out, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    PutBE32(out, static_cast<uint32_t>(
                     crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// An 8-bit RGBA PNG (the large icon sizes are stored this way).
std::string Png(const bv::pictures::Image& img) {
    std::string raw;
    for (int y = 0; y < img.height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < img.width; ++x) {
            uint32_t p = img.at(x, y);
            for (int shift : {16, 8, 0, 24}) raw.push_back(static_cast<char>((p >> shift) & 0xFF));
        }
    }
    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    std::string z(zlen, '\0');
    if (compress2(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        return {};
    z.resize(zlen);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    PutBE32(ihdr, static_cast<uint32_t>(img.width));
    PutBE32(ihdr, static_cast<uint32_t>(img.height));
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return png;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bvicon OUTPUT.ico\n");
        return 2;
    }
    std::vector<bv::pictures::Image> images;
    for (int size : {16, 20, 24, 32, 40, 48, 64, 96, 256}) images.push_back(bv::pictures::DrawLogo(size));
    std::string ico = bv::pictures::EncodeIco(images, Png);
    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    bool ok = std::fwrite(ico.data(), 1, ico.size(), f) == ico.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
