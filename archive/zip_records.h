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
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;

// Little-endian reads from a bounds-checked span. A read past the end
// returns zero and leaves ok() false for good.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? n_ - pos_ : 0; }
    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
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

// The fields a local header and a central directory record share, in their
// on-disk order, from the version needed to the extra field's length. The
// sizes are the 32-bit fields: 0xFFFFFFFF sends the reader to the Zip64 block.
struct HeaderFields {
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize32 = 0;
    uint32_t uncompressedSize32 = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
};

// The fixed 30 bytes of a local header; name and extra field follow it.
struct LocalHeader : HeaderFields {
    static constexpr size_t kSize = 30;
};
bool Read(Bytes& r, LocalHeader& out);
void Write(std::string& out, const LocalHeader& rec);

// The fixed 46 bytes of a central directory record; name, extra field and
// comment follow it.
struct CentralRecord : HeaderFields {
    static constexpr size_t kSize = 46;
    uint16_t versionMadeBy = 20;
    uint16_t commentLength = 0;
    uint16_t diskStart16 = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset32 = 0;
};
bool Read(Bytes& r, CentralRecord& out);
void Write(std::string& out, const CentralRecord& rec);

// The data descriptor after a member's data, with its signature: 16 bytes
// with 32-bit sizes, 24 in the Zip64 form.
struct DataDescriptor {
    static constexpr size_t kSize = 16;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
};
bool Read(Bytes& r, DataDescriptor& out);
void Write(std::string& out, const DataDescriptor& rec);

struct Zip64DataDescriptor {
    static constexpr size_t kSize = 24;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};
bool Read(Bytes& r, Zip64DataDescriptor& out);
void Write(std::string& out, const Zip64DataDescriptor& rec);

// The extra field: blocks of a 16-bit id and a 16-bit length, then the data.
// The structs below are the data of the blocks the component knows.

// Zip64 sizes and place. The block holds only the fields whose 32-bit
// counterpart in the record is saturated, in this order; the `has` flags
// say which. Read clears the flag of a field the block is too short for
// (the 32-bit value then stands) and answers whether all were there.
struct Zip64Extra {
    static constexpr uint16_t kId = 0x0001;
    bool hasUncompressedSize = false;
    bool hasCompressedSize = false;
    bool hasLocalHeaderOffset = false;
    bool hasDiskStart = false;
    uint64_t uncompressedSize = 0;
    uint64_t compressedSize = 0;
    uint64_t localHeaderOffset = 0;
    uint32_t diskStart = 0;
};
bool Read(Bytes& r, Zip64Extra& out);
void Write(std::string& out, const Zip64Extra& rec);

// The UTF-16LE name written with the "NU" id ("NUCX", the count of 16-bit
// units, the units). Read takes no more units than the block holds.
struct UnicodeNameExtra {
    static constexpr uint16_t kId = 0x554E;
    static constexpr char kTag[] = "NUCX";
    uint32_t units = 0;
    std::string utf16;
};
bool Read(Bytes& r, UnicodeNameExtra& out);
void Write(std::string& out, const UnicodeNameExtra& rec);

// Info-ZIP's Unicode Path ("up"): a version, the CRC-32 of the header's name
// bytes, the name in UTF-8 (the rest of the block).
struct UnicodePathExtra {
    static constexpr uint16_t kId = 0x7075;
    uint8_t version = 1;
    uint32_t nameCrc32 = 0;
    std::string utf8;
};
bool Read(Bytes& r, UnicodePathExtra& out);
void Write(std::string& out, const UnicodePathExtra& rec);

// AES encryption: the vendor's version and id ("AE"), the key strength
// (1 to 3: 128, 192, 256 bits) and the method of the data inside.
struct AesExtra {
    static constexpr uint16_t kId = 0x9901;
    static constexpr size_t kSize = 7;
    uint16_t vendorVersion = 2;
    uint16_t vendorId = 0x4541;
    uint8_t strength = 3;
    uint16_t actualMethod = 0;
};
bool Read(Bytes& r, AesExtra& out);
void Write(std::string& out, const AesExtra& rec);

}  // namespace bv::zip
