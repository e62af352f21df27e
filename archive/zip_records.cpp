// Reads and writes the fixed-size ZIP records field by field.
#include "archive/zip_records.h"

#include <algorithm>

namespace bv::zip {

bool Read(Bytes& r, EndRecord& out) {
    if (r.U32() != kEndSig) return false;
    out.disk = r.U16();
    out.directoryDisk = r.U16();
    out.entriesOnDisk = r.U16();
    out.entries = r.U16();
    out.directorySize = r.U32();
    out.directoryOffset = r.U32();
    out.comment = r.Str(r.U16());
    return r.ok();
}

void Write(std::string& out, const EndRecord& rec) {
    Put32(out, kEndSig);
    Put16(out, rec.disk);
    Put16(out, rec.directoryDisk);
    Put16(out, rec.entriesOnDisk);
    Put16(out, rec.entries);
    Put32(out, rec.directorySize);
    Put32(out, rec.directoryOffset);
    Put16(out, static_cast<uint32_t>(rec.comment.size()));
    out += rec.comment;
}

bool Read(Bytes& r, Zip64Locator& out) {
    if (r.U32() != kZip64LocatorSig) return false;
    out.endDisk = r.U32();
    out.endOffset = r.U64();
    out.disks = r.U32();
    return r.ok();
}

void Write(std::string& out, const Zip64Locator& rec) {
    Put32(out, kZip64LocatorSig);
    Put32(out, rec.endDisk);
    Put64(out, rec.endOffset);
    Put32(out, rec.disks);
}

bool Read(Bytes& r, Zip64EndRecord& out) {
    if (r.U32() != kZip64EndSig) return false;
    out.recordSize = r.U64();
    out.versionMadeBy = r.U16();
    out.versionNeeded = r.U16();
    out.disk = r.U32();
    out.directoryDisk = r.U32();
    out.entriesOnDisk = r.U64();
    out.entries = r.U64();
    out.directorySize = r.U64();
    out.directoryOffset = r.U64();
    return r.ok();
}

void Write(std::string& out, const Zip64EndRecord& rec) {
    Put32(out, kZip64EndSig);
    Put64(out, rec.recordSize);
    Put16(out, rec.versionMadeBy);
    Put16(out, rec.versionNeeded);
    Put32(out, rec.disk);
    Put32(out, rec.directoryDisk);
    Put64(out, rec.entriesOnDisk);
    Put64(out, rec.entries);
    Put64(out, rec.directorySize);
    Put64(out, rec.directoryOffset);
}

namespace {

void ReadShared(Bytes& r, HeaderFields& out) {
    out.versionNeeded = r.U16();
    out.flags = r.U16();
    out.method = r.U16();
    out.modTime = r.U16();
    out.modDate = r.U16();
    out.crc32 = r.U32();
    out.compressedSize32 = r.U32();
    out.uncompressedSize32 = r.U32();
    out.nameLength = r.U16();
    out.extraLength = r.U16();
}

void WriteShared(std::string& out, const HeaderFields& rec) {
    Put16(out, rec.versionNeeded);
    Put16(out, rec.flags);
    Put16(out, rec.method);
    Put16(out, rec.modTime);
    Put16(out, rec.modDate);
    Put32(out, rec.crc32);
    Put32(out, rec.compressedSize32);
    Put32(out, rec.uncompressedSize32);
    Put16(out, rec.nameLength);
    Put16(out, rec.extraLength);
}

}  // namespace

bool Read(Bytes& r, LocalHeader& out) {
    if (r.U32() != kLocalSig) return false;
    ReadShared(r, out);
    return r.ok();
}

void Write(std::string& out, const LocalHeader& rec) {
    Put32(out, kLocalSig);
    WriteShared(out, rec);
}

bool Read(Bytes& r, CentralRecord& out) {
    if (r.U32() != kCentralSig) return false;
    out.versionMadeBy = r.U16();
    ReadShared(r, out);
    out.commentLength = r.U16();
    out.diskStart16 = r.U16();
    out.internalAttributes = r.U16();
    out.externalAttributes = r.U32();
    out.localHeaderOffset32 = r.U32();
    return r.ok();
}

void Write(std::string& out, const CentralRecord& rec) {
    Put32(out, kCentralSig);
    Put16(out, rec.versionMadeBy);
    WriteShared(out, rec);
    Put16(out, rec.commentLength);
    Put16(out, rec.diskStart16);
    Put16(out, rec.internalAttributes);
    Put32(out, rec.externalAttributes);
    Put32(out, rec.localHeaderOffset32);
}

bool Read(Bytes& r, DataDescriptor& out) {
    if (r.U32() != kDescriptorSig) return false;
    out.crc32 = r.U32();
    out.compressedSize = r.U32();
    out.uncompressedSize = r.U32();
    return r.ok();
}

void Write(std::string& out, const DataDescriptor& rec) {
    Put32(out, kDescriptorSig);
    Put32(out, rec.crc32);
    Put32(out, rec.compressedSize);
    Put32(out, rec.uncompressedSize);
}

bool Read(Bytes& r, Zip64DataDescriptor& out) {
    if (r.U32() != kDescriptorSig) return false;
    out.crc32 = r.U32();
    out.compressedSize = r.U64();
    out.uncompressedSize = r.U64();
    return r.ok();
}

void Write(std::string& out, const Zip64DataDescriptor& rec) {
    Put32(out, kDescriptorSig);
    Put32(out, rec.crc32);
    Put64(out, rec.compressedSize);
    Put64(out, rec.uncompressedSize);
}

bool Read(Bytes& r, Zip64Extra& out) {
    bool all = true;
    // Whether the field is there to read; a missing one is unflagged.
    auto there = [&](bool& has, size_t size) {
        if (has && r.left() < size) {
            has = false;
            all = false;
        }
        return has;
    };
    if (there(out.hasUncompressedSize, 8)) out.uncompressedSize = r.U64();
    if (there(out.hasCompressedSize, 8)) out.compressedSize = r.U64();
    if (there(out.hasLocalHeaderOffset, 8)) out.localHeaderOffset = r.U64();
    if (there(out.hasDiskStart, 4)) out.diskStart = r.U32();
    return all;
}

void Write(std::string& out, const Zip64Extra& rec) {
    if (rec.hasUncompressedSize) Put64(out, rec.uncompressedSize);
    if (rec.hasCompressedSize) Put64(out, rec.compressedSize);
    if (rec.hasLocalHeaderOffset) Put64(out, rec.localHeaderOffset);
    if (rec.hasDiskStart) Put32(out, rec.diskStart);
}

bool Read(Bytes& r, UnicodeNameExtra& out) {
    if (r.Str(4) != UnicodeNameExtra::kTag) return false;
    out.units = r.U32();
    if (!r.ok()) return false;
    out.utf16 = r.Str(std::min<size_t>(static_cast<size_t>(out.units) * 2, r.left()));
    return r.ok();
}

void Write(std::string& out, const UnicodeNameExtra& rec) {
    out += UnicodeNameExtra::kTag;
    Put32(out, rec.units);
    out += rec.utf16;
}

bool Read(Bytes& r, UnicodePathExtra& out) {
    out.version = r.U8();
    out.nameCrc32 = r.U32();
    out.utf8 = r.Str(r.left());
    return r.ok();
}

void Write(std::string& out, const UnicodePathExtra& rec) {
    out.push_back(static_cast<char>(rec.version));
    Put32(out, rec.nameCrc32);
    out += rec.utf8;
}

bool Read(Bytes& r, AesExtra& out) {
    out.vendorVersion = r.U16();
    out.vendorId = r.U16();
    out.strength = r.U8();
    out.actualMethod = r.U16();
    return r.ok();
}

void Write(std::string& out, const AesExtra& rec) {
    Put16(out, rec.vendorVersion);
    Put16(out, rec.vendorId);
    out.push_back(static_cast<char>(rec.strength));
    Put16(out, rec.actualMethod);
}

}  // namespace bv::zip
