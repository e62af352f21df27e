// The record read and write functions: a written record or extra block
// reads back field by field, the Zip64 fields keep their full 64 bits, and a
// record cut short or with another signature is refused.
#include "archive/zip_records.h"

#include <gtest/gtest.h>

#include <functional>

namespace bv::zip {
namespace {

Bytes Span(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// Writes rec, checks its size, reads it back into a fresh record, and checks
// that every prefix one byte short is refused.
template <typename Rec>
Rec RoundTrip(const Rec& rec, size_t size) {
    std::string bytes;
    Write(bytes, rec);
    EXPECT_EQ(bytes.size(), size);
    Rec back;
    Bytes r = Span(bytes);
    EXPECT_TRUE(Read(r, back));
    EXPECT_EQ(r.left(), 0u);
    Rec cut;
    std::string shortBytes = bytes.substr(0, bytes.size() - 1);
    Bytes shortSpan = Span(shortBytes);
    EXPECT_FALSE(Read(shortSpan, cut));
    std::string wrongSig = bytes;
    wrongSig[3] ^= 1;
    Bytes other = Span(wrongSig);
    EXPECT_FALSE(Read(other, cut));
    return back;
}

TEST(ZipRecords, EndRecordWithComment) {
    EndRecord rec;
    rec.disk = 1;
    rec.directoryDisk = 2;
    rec.entriesOnDisk = 0xFFFF;
    rec.entries = 0x1234;
    rec.directorySize = 0xFFFFFFFF;
    rec.directoryOffset = 0x89ABCDEF;
    rec.comment = "a comment";
    EndRecord back = RoundTrip(rec, EndRecord::kSize + rec.comment.size());
    EXPECT_EQ(back.disk, 1);
    EXPECT_EQ(back.directoryDisk, 2);
    EXPECT_EQ(back.entriesOnDisk, 0xFFFF);
    EXPECT_EQ(back.entries, 0x1234);
    EXPECT_EQ(back.directorySize, 0xFFFFFFFFu);
    EXPECT_EQ(back.directoryOffset, 0x89ABCDEFu);
    EXPECT_EQ(back.comment, "a comment");
}

TEST(ZipRecords, Zip64RecordsKeepAllSixtyFourBits) {
    Zip64Locator loc;
    loc.endDisk = 3;
    loc.endOffset = 0x0123456789ABCDEFull;
    loc.disks = 4;
    Zip64Locator locBack = RoundTrip(loc, Zip64Locator::kSize);
    EXPECT_EQ(locBack.endDisk, 3u);
    EXPECT_EQ(locBack.endOffset, 0x0123456789ABCDEFull);
    EXPECT_EQ(locBack.disks, 4u);

    Zip64EndRecord end;
    end.versionMadeBy = 63;
    end.versionNeeded = 45;
    end.disk = 5;
    end.directoryDisk = 6;
    end.entriesOnDisk = 0x100000001ull;
    end.entries = 0x200000002ull;
    end.directorySize = 0xFEDCBA9876543210ull;
    end.directoryOffset = 0x8000000000000001ull;
    Zip64EndRecord back = RoundTrip(end, Zip64EndRecord::kSize);
    EXPECT_EQ(back.recordSize, 44u);
    EXPECT_EQ(back.versionMadeBy, 63);
    EXPECT_EQ(back.versionNeeded, 45);
    EXPECT_EQ(back.disk, 5u);
    EXPECT_EQ(back.directoryDisk, 6u);
    EXPECT_EQ(back.entriesOnDisk, 0x100000001ull);
    EXPECT_EQ(back.entries, 0x200000002ull);
    EXPECT_EQ(back.directorySize, 0xFEDCBA9876543210ull);
    EXPECT_EQ(back.directoryOffset, 0x8000000000000001ull);
}

TEST(ZipRecords, LocalHeader) {
    LocalHeader h;
    h.versionNeeded = 51;
    h.flags = 0x0809;
    h.method = 99;
    h.modTime = 0x7BBF;
    h.modDate = 0x5A21;
    h.crc32 = 0xCBF43926;
    h.compressedSize32 = 0xFFFFFFFF;
    h.uncompressedSize32 = 7;
    h.nameLength = 0x102;
    h.extraLength = 0x304;
    LocalHeader back = RoundTrip(h, LocalHeader::kSize);
    EXPECT_EQ(back.versionNeeded, 51);
    EXPECT_EQ(back.flags, 0x0809);
    EXPECT_EQ(back.method, 99);
    EXPECT_EQ(back.modTime, 0x7BBF);
    EXPECT_EQ(back.modDate, 0x5A21);
    EXPECT_EQ(back.crc32, 0xCBF43926u);
    EXPECT_EQ(back.compressedSize32, 0xFFFFFFFFu);
    EXPECT_EQ(back.uncompressedSize32, 7u);
    EXPECT_EQ(back.nameLength, 0x102);
    EXPECT_EQ(back.extraLength, 0x304);
}

TEST(ZipRecords, CentralRecord) {
    CentralRecord c;
    c.versionMadeBy = 0x0B14;
    c.versionNeeded = 45;
    c.flags = 0x0801;
    c.method = 8;
    c.modTime = 0x1234;
    c.modDate = 0x5678;
    c.crc32 = 0xDEADBEEF;
    c.compressedSize32 = 0x11223344;
    c.uncompressedSize32 = 0xFFFFFFFF;
    c.nameLength = 0x0102;
    c.extraLength = 0x0304;
    c.commentLength = 0x0506;
    c.diskStart16 = 0xFFFF;
    c.internalAttributes = 1;
    c.externalAttributes = 0x81A40020;
    c.localHeaderOffset32 = 0x99AABBCC;
    CentralRecord back = RoundTrip(c, CentralRecord::kSize);
    EXPECT_EQ(back.versionMadeBy, 0x0B14);
    EXPECT_EQ(back.versionNeeded, 45);
    EXPECT_EQ(back.flags, 0x0801);
    EXPECT_EQ(back.method, 8);
    EXPECT_EQ(back.modTime, 0x1234);
    EXPECT_EQ(back.modDate, 0x5678);
    EXPECT_EQ(back.crc32, 0xDEADBEEFu);
    EXPECT_EQ(back.compressedSize32, 0x11223344u);
    EXPECT_EQ(back.uncompressedSize32, 0xFFFFFFFFu);
    EXPECT_EQ(back.nameLength, 0x0102);
    EXPECT_EQ(back.extraLength, 0x0304);
    EXPECT_EQ(back.commentLength, 0x0506);
    EXPECT_EQ(back.diskStart16, 0xFFFF);
    EXPECT_EQ(back.internalAttributes, 1);
    EXPECT_EQ(back.externalAttributes, 0x81A40020u);
    EXPECT_EQ(back.localHeaderOffset32, 0x99AABBCCu);
}

TEST(ZipRecords, DataDescriptorsInBothForms) {
    DataDescriptor d;
    d.crc32 = 0xCBF43926;
    d.compressedSize = 0xFFFFFFFE;
    d.uncompressedSize = 3;
    DataDescriptor back = RoundTrip(d, DataDescriptor::kSize);
    EXPECT_EQ(back.crc32, 0xCBF43926u);
    EXPECT_EQ(back.compressedSize, 0xFFFFFFFEu);
    EXPECT_EQ(back.uncompressedSize, 3u);

    Zip64DataDescriptor w;
    w.crc32 = 0x01020304;
    w.compressedSize = 0x100000000ull;
    w.uncompressedSize = 0xFFFFFFFFFFFFFFFFull;
    Zip64DataDescriptor wideBack = RoundTrip(w, Zip64DataDescriptor::kSize);
    EXPECT_EQ(wideBack.crc32, 0x01020304u);
    EXPECT_EQ(wideBack.compressedSize, 0x100000000ull);
    EXPECT_EQ(wideBack.uncompressedSize, 0xFFFFFFFFFFFFFFFFull);
}

// The Zip64 block holds only the flagged fields, in their order; a block
// too short for a field unflags it and leaves the later ones their chance.
TEST(ZipRecords, Zip64ExtraHoldsTheFlaggedFields) {
    struct Case {
        bool usize, csize, offset, disk;
        size_t bytes;
    };
    const Case cases[] = {
        {true, false, false, false, 8}, {false, true, false, false, 8}, {true, true, false, false, 16},
        {false, false, true, true, 12}, {true, true, true, true, 28},   {false, false, false, true, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        Zip64Extra z;
        z.hasUncompressedSize = c.usize;
        z.hasCompressedSize = c.csize;
        z.hasLocalHeaderOffset = c.offset;
        z.hasDiskStart = c.disk;
        z.uncompressedSize = 0x1000000001ull;
        z.compressedSize = 0x2000000002ull;
        z.localHeaderOffset = 0x3000000003ull;
        z.diskStart = 0x40000004;
        std::string bytes;
        Write(bytes, z);
        EXPECT_EQ(bytes.size(), c.bytes);
        Zip64Extra back;
        back.hasUncompressedSize = c.usize;
        back.hasCompressedSize = c.csize;
        back.hasLocalHeaderOffset = c.offset;
        back.hasDiskStart = c.disk;
        Bytes r = Span(bytes);
        EXPECT_TRUE(Read(r, back));
        EXPECT_EQ(r.left(), 0u);
        EXPECT_EQ(back.uncompressedSize, c.usize ? z.uncompressedSize : 0);
        EXPECT_EQ(back.compressedSize, c.csize ? z.compressedSize : 0);
        EXPECT_EQ(back.localHeaderOffset, c.offset ? z.localHeaderOffset : 0);
        EXPECT_EQ(back.diskStart, c.disk ? z.diskStart : 0);
    }

    // Twelve bytes for all four: the first size and the disk are there.
    std::string twelve = std::string("\x01\0\0\0\0\0\0\0", 8) + std::string("\x07\0\0\0", 4);
    Zip64Extra all;
    all.hasUncompressedSize = all.hasCompressedSize = all.hasLocalHeaderOffset = all.hasDiskStart = true;
    Bytes r = Span(twelve);
    EXPECT_FALSE(Read(r, all));
    EXPECT_TRUE(all.hasUncompressedSize);
    EXPECT_EQ(all.uncompressedSize, 1u);
    EXPECT_FALSE(all.hasCompressedSize);
    EXPECT_FALSE(all.hasLocalHeaderOffset);
    EXPECT_TRUE(all.hasDiskStart);
    EXPECT_EQ(all.diskStart, 7u);
}

// The other extra blocks: written, read back, and a block cut short or
// with the wrong tag refused.
TEST(ZipRecords, ExtraBlocks) {
    UnicodeNameExtra name;
    name.units = 2;
    name.utf16 = std::string("a\0\xB2\x03", 4);
    std::string nameBytes;
    Write(nameBytes, name);
    EXPECT_EQ(nameBytes, std::string("NUCX\x02\0\0\0a\0\xB2\x03", 12));
    UnicodeNameExtra nameBack;
    Bytes r = Span(nameBytes);
    EXPECT_TRUE(Read(r, nameBack));
    EXPECT_EQ(nameBack.units, 2u);
    EXPECT_EQ(nameBack.utf16, name.utf16);
    // More units than bytes: what is there.
    name.units = 9;
    nameBytes.clear();
    Write(nameBytes, name);
    r = Span(nameBytes);
    EXPECT_TRUE(Read(r, nameBack));
    EXPECT_EQ(nameBack.utf16, name.utf16);
    for (std::string bad : {std::string("NUCX\x02\0\0", 7), std::string("NUCY\x02\0\0\0a\0", 10)}) {
        r = Span(bad);
        EXPECT_FALSE(Read(r, nameBack)) << bad;
    }

    UnicodePathExtra path;
    path.nameCrc32 = 0x89ABCDEF;
    path.utf8 = "k\xC3\xA4se";
    std::string pathBytes;
    Write(pathBytes, path);
    EXPECT_EQ(pathBytes.size(), 5 + path.utf8.size());
    UnicodePathExtra pathBack;
    r = Span(pathBytes);
    EXPECT_TRUE(Read(r, pathBack));
    EXPECT_EQ(pathBack.version, 1);
    EXPECT_EQ(pathBack.nameCrc32, 0x89ABCDEFu);
    EXPECT_EQ(pathBack.utf8, path.utf8);
    std::string shortPath = pathBytes.substr(0, 4);
    r = Span(shortPath);
    EXPECT_FALSE(Read(r, pathBack));

    AesExtra aes;
    aes.vendorVersion = 1;
    aes.strength = 2;
    aes.actualMethod = 8;
    std::string aesBytes;
    Write(aesBytes, aes);
    EXPECT_EQ(aesBytes, std::string("\x01\0AE\x02\x08\0", AesExtra::kSize));
    AesExtra aesBack;
    r = Span(aesBytes);
    EXPECT_TRUE(Read(r, aesBack));
    EXPECT_EQ(aesBack.vendorVersion, 1);
    EXPECT_EQ(aesBack.vendorId, 0x4541);
    EXPECT_EQ(aesBack.strength, 2);
    EXPECT_EQ(aesBack.actualMethod, 8);
    std::string shortAes = aesBytes.substr(0, AesExtra::kSize - 1);
    r = Span(shortAes);
    EXPECT_FALSE(Read(r, aesBack));
}

}  // namespace
}  // namespace bv::zip
