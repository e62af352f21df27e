// The fixed-size records of a ZIP file with named fields, each with one read
// (from a bounds-checked little-endian span) and one write function.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bv::zip {

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kZip64EndSig = 0x06064B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;

// Little-endian reads from a bounds-checked span. A read past the end
// returns zero and leaves ok() false for good.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? n_ - pos_ : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
    uint64_t U64() { return Take(8); }
    std::string Str(size_t count) {
        if (!ok_ || count > n_ - pos_) {
            ok_ = false;
            return {};
        }
        std::string out(reinterpret_cast<const char*>(p_ + pos_), count);
        pos_ += count;
        return out;
    }

private:
    uint64_t Take(int count) {
        if (!ok_ || static_cast<size_t>(count) > n_ - pos_) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = count - 1; i >= 0; --i) v = (v << 8) | p_[pos_ + static_cast<size_t>(i)];
        pos_ += static_cast<size_t>(count);
        return v;
    }
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

inline void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void Put64(std::string& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}
inline uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// End of central directory record: 22 bytes, then the archive comment.
struct EndRecord {
    static constexpr size_t kSize = 22;
    uint16_t disk = 0;
    uint16_t directoryDisk = 0;
    uint16_t entriesOnDisk = 0;
    uint16_t entries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    std::string comment;
};
// False when the signature is wrong or the record or its comment is cut off.
bool Read(Bytes& r, EndRecord& out);
void Write(std::string& out, const EndRecord& rec);

// Zip64 end of central directory locator: 20 bytes, right before the end record.
struct Zip64Locator {
    static constexpr size_t kSize = 20;
    uint32_t endDisk = 0;
    uint64_t endOffset = 0;
    uint32_t disks = 1;
};
bool Read(Bytes& r, Zip64Locator& out);
void Write(std::string& out, const Zip64Locator& rec);

// Zip64 end of central directory record, without an extensible data sector
// (56 bytes; the sector, if any, is not read).
struct Zip64EndRecord {
    static constexpr size_t kSize = 56;
    uint64_t recordSize = kSize - 12;  // the bytes after this field
    uint16_t versionMadeBy = 45;
    uint16_t versionNeeded = 45;
    uint32_t disk = 0;
    uint32_t directoryDisk = 0;
    uint64_t entriesOnDisk = 0;
    uint64_t entries = 0;
    uint64_t directorySize = 0;
    uint64_t directoryOffset = 0;
};
bool Read(Bytes& r, Zip64EndRecord& out);
void Write(std::string& out, const Zip64EndRecord& rec);

// The fixed 30 bytes of a local header; name and extra field follow it.
struct LocalHeader {
    static constexpr size_t kSize = 30;
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
};
bool Read(Bytes& r, LocalHeader& out);
void Write(std::string& out, const LocalHeader& rec);

}  // namespace bv::zip
