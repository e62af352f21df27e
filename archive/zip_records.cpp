// Reads and writes the fixed-size ZIP records field by field.
#include "archive/zip_records.h"

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

bool Read(Bytes& r, LocalHeader& out) {
    if (r.U32() != kLocalSig) return false;
    out.versionNeeded = r.U16();
    out.flags = r.U16();
    out.method = r.U16();
    out.modTime = r.U16();
    out.modDate = r.U16();
    out.crc32 = r.U32();
    out.compressedSize = r.U32();
    out.uncompressedSize = r.U32();
    out.nameLength = r.U16();
    out.extraLength = r.U16();
    return r.ok();
}

void Write(std::string& out, const LocalHeader& rec) {
    Put32(out, kLocalSig);
    Put16(out, rec.versionNeeded);
    Put16(out, rec.flags);
    Put16(out, rec.method);
    Put16(out, rec.modTime);
    Put16(out, rec.modDate);
    Put32(out, rec.crc32);
    Put32(out, rec.compressedSize);
    Put32(out, rec.uncompressedSize);
    Put16(out, rec.nameLength);
    Put16(out, rec.extraLength);
}

}  // namespace bv::zip
