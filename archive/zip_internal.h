// What the files of the ZIP component share beneath ZipArchiver, and its
// users do not see: the zlib states kept between members, the extra field's
// blocks, path helpers and the limits of the worker threads.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/zip_archiver.h"
#include "platform/fs.h"

namespace bv::zip {

// The attributes that a search attribute mask can leave out.
constexpr uint32_t kFilterBits = fs::kAttrHidden | fs::kAttrSystem | fs::kAttrVolume | fs::kAttrDirectory;

// How far the compressing threads run ahead of the writer, in bytes of the
// members and pieces they hold (besides the one the writer waits for).
constexpr uint64_t kAheadBudget = 64u << 20;

std::wstring Upper(const std::wstring& s);
std::wstring ToBackslashes(std::wstring s);
// Removes a leading drive ("C:") or share ("\\server\share\") from a path
// whose separators are `sep`.
std::wstring CutDrive(const std::wstring& s, wchar_t sep);

// The extra field split into its blocks (a block whose length runs past the
// end keeps what is there), and put together again.
std::vector<ZipExtraBlock> ParseExtras(const std::string& raw);
std::string SerializeExtras(const std::vector<ZipExtraBlock>& extras);

// zlib state that frees itself.
struct Inflater {
    z_stream z{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&z, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready) inflateEnd(&z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};
struct Deflater {
    z_stream z{};
    bool ready = false;
    explicit Deflater(int level) {
        ready = deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ready) deflateEnd(&z);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

}  // namespace bv::zip
