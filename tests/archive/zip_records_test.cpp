// The record read and write functions: a written record reads back field by
// field, the Zip64 fields keep their full 64 bits, and a record cut short or
// with another signature is refused.
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
    h.compressedSize = 0xFFFFFFFF;
    h.uncompressedSize = 7;
    h.nameLength = 0x102;
    h.extraLength = 0x304;
    LocalHeader back = RoundTrip(h, LocalHeader::kSize);
    EXPECT_EQ(back.versionNeeded, 51);
    EXPECT_EQ(back.flags, 0x0809);
    EXPECT_EQ(back.method, 99);
    EXPECT_EQ(back.modTime, 0x7BBF);
    EXPECT_EQ(back.modDate, 0x5A21);
    EXPECT_EQ(back.crc32, 0xCBF43926u);
    EXPECT_EQ(back.compressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(back.uncompressedSize, 7u);
    EXPECT_EQ(back.nameLength, 0x102);
    EXPECT_EQ(back.extraLength, 0x304);
}

}  // namespace
}  // namespace bv::zip
