// Reading an archive's directory: the end record (and Zip64's), the central
// directory with its members' names and extra blocks, the checks of each
// member's place and local header, and the scan of a damaged archive's
// local headers when the directory cannot be read.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <tuple>

#include "archive/zip_archiver.h"
#include "archive/zip_internal.h"
#include "archive/zip_records.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace bv {

namespace zip {

std::vector<ZipExtraBlock> ParseExtras(const std::string& raw) {
    std::vector<ZipExtraBlock> out;
    Bytes r(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
    while (r.left() >= 4) {
        ZipExtraBlock b;
        b.id = r.U16();
        size_t size = r.U16();
        b.data = r.Str(std::min(size, r.left()));
        out.push_back(std::move(b));
    }
    return out;
}

std::string SerializeExtras(const std::vector<ZipExtraBlock>& extras) {
    std::string out;
    for (const ZipExtraBlock& b : extras) {
        Put16(out, b.id);
        Put16(out, static_cast<uint32_t>(b.data.size()));
        out += b.data;
    }
    return out;
}

}  // namespace zip

namespace {

using zip::Bytes;
using zip::Get32;
using zip::kDescriptorSig;
using zip::kEndSig;
using zip::kLocalSig;
using zip::ParseExtras;
using zip::SerializeExtras;

// How far from the end an end record is looked for: a little more than its
// size with the longest comment.
constexpr size_t kEndSearch = 65600;

// Decodes a name as the directory entry asks. An OEM name goes through the
// ANSI code page only when that loses nothing; a name with characters the
// ANSI code page lacks (box drawing, Greek) keeps its OEM Unicode instead of
// becoming "?" or a best-fit look-alike.
std::wstring DecodeName(const std::string& raw, uint16_t flags, bool oem) {
    std::string bytes = raw;
    if (!(flags & 0x0800) && oem) {
        std::wstring text = os::FromOem(raw);
        bytes = os::ToAnsi(text);
        if (os::FromAnsi(bytes) != text) return text;
    }
    return os::IsValidUtf8(bytes) ? os::FromUtf8(bytes) : os::FromAnsi(bytes);
}

// The name of an Info-ZIP Unicode Path block (version 1, the CRC-32 of the
// header's name bytes, the name in UTF-8), or nothing when the block is of
// another version, was written for another name or is not UTF-8.
std::optional<std::wstring> UnicodePathName(const std::string& data, const std::string& rawName) {
    Bytes r(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    zip::UnicodePathExtra path;
    if (!zip::Read(r, path) || path.version != 1) return std::nullopt;
    uint32_t actual = static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(rawName.data()), static_cast<uInt>(rawName.size())));
    if (path.nameCrc32 != actual || path.utf8.empty() || !os::IsValidUtf8(path.utf8)) return std::nullopt;
    return os::FromUtf8(path.utf8);
}

}  // namespace

// Fills the 64-bit fields, the encryption kind and the name from the
// entry's fixed fields and extra blocks.
void ZipArchiver::FinishEntry(ZipEntry& e, bool central) {
    e.uncompressedSize = e.uncompressedSize32;
    e.compressedSize = e.compressedSize32;
    e.localHeaderOffset = e.localHeaderOffset32;
    e.diskStart = e.diskStart16;
    e.actualMethod = e.method;
    e.name = DecodeName(e.rawName, e.flags, Options.OEMFileNames);
    // Info-ZIP's Unicode Path first; the "NU" block below, our own, wins.
    for (const ZipExtraBlock& b : e.extras)
        if (b.id == zip::UnicodePathExtra::kId)
            if (std::optional<std::wstring> unicode = UnicodePathName(b.data, e.rawName)) e.name = *unicode;
    for (const ZipExtraBlock& b : e.extras) {
        Bytes r(reinterpret_cast<const uint8_t*>(b.data.data()), b.data.size());
        if (b.id == zip::Zip64Extra::kId) {
            // Only the saturated fields are in the block; the directory's
            // offset and disk are not in a local header's.
            zip::Zip64Extra z;
            z.hasUncompressedSize = e.uncompressedSize32 == 0xFFFFFFFF;
            z.hasCompressedSize = e.compressedSize32 == 0xFFFFFFFF;
            z.hasLocalHeaderOffset = central && e.localHeaderOffset32 == 0xFFFFFFFF;
            z.hasDiskStart = central && e.diskStart16 == 0xFFFF;
            zip::Read(r, z);
            if (z.hasUncompressedSize) e.uncompressedSize = z.uncompressedSize;
            if (z.hasCompressedSize) e.compressedSize = z.compressedSize;
            if (z.hasLocalHeaderOffset) e.localHeaderOffset = z.localHeaderOffset;
            if (z.hasDiskStart) e.diskStart = z.diskStart;
        } else if (b.id == zip::UnicodeNameExtra::kId) {
            zip::UnicodeNameExtra unicode;
            if (zip::Read(r, unicode)) e.name = os::FromUtf16Le(unicode.utf16);
        } else if (b.id == zip::AesExtra::kId) {
            zip::AesExtra aes;
            if (!zip::Read(r, aes)) continue;
            int strength = aes.strength;
            if ((e.flags & 1) && strength >= 1 && strength <= 3) {
                e.aesStrength = strength;
                e.actualMethod = aes.actualMethod;
                e.encryption = strength == 1   ? ZipEncryption::Aes128
                               : strength == 2 ? ZipEncryption::Aes192
                                               : ZipEncryption::Aes256;
            }
        }
    }
    if ((e.flags & 1) && e.encryption == ZipEncryption::None) e.encryption = ZipEncryption::Pkware;
}

void ZipArchiver::ReadDirectory() {
    Result<uint64_t> size = file_.Size();
    if (!size) throw EZipError(zeArchiveRead, FileName, size.error().native);
    if (ReadCentralDirectory(size.value())) return;
    if (!OpenCorruptedArchives) throw EZipError(zeDamaged);
    entries_.clear();
    comment_.clear();
    ScanLocalHeaders(size.value());
}

namespace {

// A window over the archive file, refilled in blocks: bytes [pos, pos + n)
// come from memory while the current block holds them, so a pass over many
// nearby records costs one read per block. The answer is valid until the
// next call; nullptr when the bytes run past the end or cannot be read
// (Failed() tells the two apart, Error() says why a read failed).
class BlockWindow {
public:
    BlockWindow(zip::Source& file, uint64_t fileSize, size_t blockSize)
        : file_(file), fileSize_(fileSize), blockSize_(blockSize) {}

    const uint8_t* At(uint64_t pos, size_t n) {
        if (pos > fileSize_ || n > fileSize_ - pos) return nullptr;
        if (pos >= start_ && pos + n <= start_ + block_.size()) return block_.data() + (pos - start_);
        size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(n, blockSize_), fileSize_ - pos));
        block_.resize(want);
        Result<void> read = file_.ReadAt(pos, block_.data(), want);
        if (!read) {
            block_.clear();
            failed_ = true;
            error_ = read.error().native;
            return nullptr;
        }
        start_ = pos;
        return block_.data();
    }
    // The bytes from pos to the end of the current block, refilled at pos
    // unless it already holds at least `minimum` of them; nullptr as At.
    const uint8_t* Ahead(uint64_t pos, size_t minimum, size_t& avail) {
        bool held = pos >= start_ && pos + minimum <= start_ + block_.size();
        if (!held && !At(pos, static_cast<size_t>(std::min<uint64_t>(blockSize_, fileSize_ - pos)))) return nullptr;
        avail = static_cast<size_t>(start_ + block_.size() - pos);
        return block_.data() + (pos - start_);
    }
    bool Failed() const { return failed_; }
    uint32_t Error() const { return error_; }

private:
    zip::Source& file_;
    const uint64_t fileSize_;
    const size_t blockSize_;
    std::vector<uint8_t> block_;
    uint64_t start_ = 0;
    bool failed_ = false;
    uint32_t error_ = 0;
};

}  // namespace

bool ZipArchiver::ReadCentralDirectory(uint64_t fileSize) {
    size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fileSize, kEndSearch));
    std::vector<uint8_t> tail(tailSize);
    uint64_t tailStart = fileSize - tailSize;
    Result<void> tailRead = file_.ReadAt(tailStart, tail.data(), tailSize);
    if (!tailRead) throw EZipError(zeArchiveRead, FileName, tailRead.error().native);
    // End records whose comment reaches exactly to the end of the file, the
    // last first. The comment may itself hold such a record (an inner
    // archive's, or one put there on purpose): when the directory the last
    // one names cannot be read, the one before it is tried.
    DirectoryRead first = DirectoryRead::Read;
    bool any = false;
    for (int64_t i = static_cast<int64_t>(tailSize) - static_cast<int64_t>(zip::EndRecord::kSize); i >= 0; --i) {
        const uint8_t* p = tail.data() + i;
        if (Get32(p) != kEndSig) continue;
        Bytes end(p, tailSize - static_cast<size_t>(i));
        zip::EndRecord endRecord;
        if (!zip::Read(end, endRecord) || end.left() != 0) continue;
        DirectoryRead read = ReadDirectoryAt(tail, tailStart, static_cast<size_t>(i), fileSize);
        if (read == DirectoryRead::Read) return true;
        if (!any) first = read;
        any = true;
    }
    // No record served: the last one's failure stands, as if it were alone.
    if (first == DirectoryRead::NoZip64End) throw EZipError(zeNoZip64End);
    return false;
}

ZipArchiver::DirectoryRead ZipArchiver::ReadDirectoryAt(const std::vector<uint8_t>& tail, uint64_t tailStart,
                                                        size_t endPos, uint64_t fileSize) {
    Bytes end(tail.data() + endPos, tail.size() - endPos);
    zip::EndRecord endRecord;
    zip::Read(end, endRecord);
    uint64_t total = endRecord.entries;
    uint64_t dirSize = endRecord.directorySize;
    uint64_t dirOffset = endRecord.directoryOffset;
    uint64_t dirEnd = tailStart + endPos;

    zip::Zip64Locator locator;
    const size_t locatorRoom = std::min(endPos, zip::Zip64Locator::kSize);
    Bytes loc(tail.data() + endPos - locatorRoom, locatorRoom);
    if (zip::Read(loc, locator)) {
        uint64_t z64 = locator.endOffset;
        uint8_t rec[zip::Zip64EndRecord::kSize];
        Bytes r(rec, sizeof rec);
        zip::Zip64EndRecord z64End;
        if (z64 > fileSize - sizeof rec || fileSize < sizeof rec || !file_.ReadAt(z64, rec, sizeof rec) ||
            !zip::Read(r, z64End))
            return DirectoryRead::NoZip64End;
        total = z64End.entries;
        dirSize = z64End.directorySize;
        dirOffset = z64End.directoryOffset;
        dirEnd = z64;
    } else if (total == 0xFFFF) {
        return DirectoryRead::Unreadable;
    }
    if (dirSize > dirEnd) return DirectoryRead::Unreadable;
    uint64_t dirStart = dirEnd - dirSize;
    // The directory cannot start after the place where it is found; it
    // starts before it only in an archive behind foreign data (a
    // self-extracting stub), whose offsets count from the archive's start.
    if (dirOffset > dirStart) return DirectoryRead::Unreadable;
    if (total > dirSize / zip::CentralRecord::kSize) return DirectoryRead::Unreadable;
    std::vector<uint8_t> dir(static_cast<size_t>(dirSize));
    if (!file_.ReadAt(dirStart, dir.data(), dir.size())) return DirectoryRead::Unreadable;
    Bytes r(dir.data(), dir.size());
    std::vector<ZipEntry> entries;
    entries.reserve(static_cast<size_t>(total));
    for (uint64_t i = 0; i < total; ++i) {
        ZipEntry e;
        if (!zip::Read(r, static_cast<zip::CentralRecord&>(e))) return DirectoryRead::Unreadable;
        e.rawName = r.Str(e.nameLength);
        e.extras = ParseExtras(r.Str(e.extraLength));
        e.comment = r.Str(e.commentLength);
        if (!r.ok()) return DirectoryRead::Unreadable;
        FinishEntry(e, true);
        entries.push_back(std::move(e));
    }
    const uint64_t bias = dirStart - dirOffset;
    if (bias != 0 && !entries.empty()) {
        // Foreign data in front shows in the first member: its local header
        // lies that far behind its recorded offset, and the recorded offset
        // holds no other member's header. Otherwise the directory's offset is
        // wrong, or this directory belongs to an archive held inside another
        // one's comment, whose members its offsets do not reach.
        auto lowest = std::min_element(entries.begin(), entries.end(), [](const ZipEntry& a, const ZipEntry& b) {
            return a.localHeaderOffset < b.localHeaderOffset;
        });
        auto localName = [&](uint64_t pos, std::string& name) {
            uint8_t h[zip::LocalHeader::kSize];
            Bytes r(h, sizeof h);
            zip::LocalHeader header;
            if (!file_.ReadAt(pos, h, sizeof h) || !zip::Read(r, header)) return false;
            name.resize(header.nameLength);
            return name.empty() || static_cast<bool>(file_.ReadAt(pos + sizeof h, name.data(), name.size()));
        };
        std::string name;
        const uint64_t shifted = lowest->localHeaderOffset + bias;
        if (shifted < lowest->localHeaderOffset || !localName(shifted, name)) return DirectoryRead::Unreadable;
        if (localName(lowest->localHeaderOffset, name) && name != lowest->rawName) return DirectoryRead::Unreadable;
    }
    entries_ = std::move(entries);
    comment_ = std::move(endRecord.comment);
    directoryStart_ = dirStart;
    offsetBias_ = static_cast<int64_t>(bias);
    CheckMembers(dirStart, dirEnd, fileSize);
    return DirectoryRead::Read;
}

// Reads every member's local header once, in offset order. A member whose
// header and data overlap those of a member that starts before it (or at
// the same place with an earlier directory entry), or reach into the central
// directory, is refused: its bytes belong to another member, and archives made of
// shared bodies would otherwise write the same data again and again. A
// member whose local header holds another name than its directory record
// is refused too, unless both decode to the same name.
void ZipArchiver::CheckMembers(uint64_t dirStart, uint64_t dirEnd, uint64_t fileSize) {
    BlockWindow window(file_, fileSize, 64 * 1024);
    auto at = [&](uint64_t pos, size_t n) { return window.At(pos, n); };
    std::vector<size_t> order(entries_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::tie(entries_[a].localHeaderOffset, a) < std::tie(entries_[b].localHeaderOffset, b);
    });
    struct Range {
        uint64_t start, end;
        size_t index;
    };
    std::vector<Range> ranges;
    ranges.reserve(entries_.size());
    for (size_t i : order) {
        ZipEntry& e = entries_[i];
        uint64_t pos = e.localHeaderOffset;
        zip::LocalHeader header;
        auto headerAt = [&](uint64_t p) {
            const uint8_t* h = at(p, zip::LocalHeader::kSize);
            Bytes hr(h, h ? zip::LocalHeader::kSize : 0);
            return zip::Read(hr, header);
        };
        bool found = headerAt(pos);
        if (!found && offsetBias_ != 0) {
            pos += static_cast<uint64_t>(offsetBias_);
            found = headerAt(pos);
        }
        // No header: reading the member fails, as it always did.
        if (!found) continue;
        uint16_t flags = header.flags;
        size_t nameLength = header.nameLength;
        size_t extraLength = header.extraLength;
        uint64_t dataStart = pos + zip::LocalHeader::kSize + nameLength + extraLength;
        uint64_t end = e.compressedSize > UINT64_MAX - dataStart ? UINT64_MAX : dataStart + e.compressedSize;
        ranges.push_back({pos, end, i});
        const uint8_t* n = at(pos + zip::LocalHeader::kSize, nameLength + extraLength);
        if (!n) continue;
        std::string localName(reinterpret_cast<const char*>(n), nameLength);
        if (localName == e.rawName) continue;
        // The same name in another encoding is no other name.
        ZipEntry local;
        local.flags = flags;
        local.rawName = std::move(localName);
        local.extras = ParseExtras(std::string(reinterpret_cast<const char*>(n) + nameLength, extraLength));
        FinishEntry(local, false);
        if (local.name != e.name) e.refusal = zeLocalName;
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
        return std::tie(a.start, a.index) < std::tie(b.start, b.index);
    });
    uint64_t reach = 0;  // where the members kept so far end
    for (const Range& r : ranges) {
        if (r.start < reach || (r.end > dirStart && r.start < dirEnd)) {
            entries_[r.index].refusal = zeOverlap;
            continue;
        }
        reach = std::max(reach, r.end);
    }
}

EZipError ZipArchiver::Refusal(const ZipEntry& e) const { return EZipError(e.refusal, e.name); }

std::vector<EZipError> ZipArchiver::Damage() const {
    std::vector<EZipError> out;
    for (const std::wstring& name : damaged_) out.emplace_back(zeCutMember, FileName, name);
    return out;
}

// Rebuilds the member list from the local headers, front to back. Members
// written with a data descriptor take CRC and sizes from the descriptor
// whose compressed size matches the distance from the data's start. A
// member cut off by the end of the file, or whose descriptor is nowhere, is
// dropped and recorded as damage.
void ZipArchiver::ScanLocalHeaders(uint64_t fileSize) {
    // The file is read front to back in large blocks, and headers, names and
    // descriptors are taken from the block in memory: a file full of
    // signatures costs one read per block, not one per candidate.
    BlockWindow window(file_, fileSize, size_t{1} << 20);
    // A read error ends the scan; bytes past the end are simply absent.
    auto at = [&](uint64_t pos, size_t n) {
        const uint8_t* p = window.At(pos, n);
        if (!p && window.Failed()) throw EZipError(zeArchiveRead, FileName, window.Error());
        return p;
    };
    auto findSig = [&](uint64_t from, uint32_t sig) -> int64_t {
        while (from + 4 <= fileSize) {
            size_t avail = 0;
            const uint8_t* p = window.Ahead(from, 4, avail);
            if (!p) throw EZipError(zeArchiveRead, FileName, window.Error());
            for (size_t i = 0; i + 4 <= avail; ++i) {
                const void* hit = std::memchr(p + i, 'P', avail - 3 - i);
                if (!hit) break;
                i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
                if (Get32(p + i) == sig) return static_cast<int64_t>(from + i);
            }
            from += avail - 3;
        }
        return -1;
    };
    // Every data descriptor in the file, found in one pass when the first
    // member that needs one turns up, and indexed by the data start its
    // compressed size points back to. Searching forward from each header
    // instead would read the rest of the file once per header.
    struct Descriptor {
        uint64_t dataStart, pos;
        bool zip64;
        uint32_t crc;
        uint64_t csize, usize;
        bool operator<(const Descriptor& o) const {
            return std::tie(dataStart, zip64, pos) < std::tie(o.dataStart, o.zip64, o.pos);
        }
    };
    std::vector<Descriptor> descriptors;
    bool indexed = false;
    auto indexDescriptors = [&] {
        indexed = true;
        // A crafted file could be nothing but signatures: the index is capped.
        constexpr size_t kMaxDescriptors = size_t{1} << 20;
        for (int64_t d = findSig(0, kDescriptorSig); d >= 0 && descriptors.size() < kMaxDescriptors;
             d = findSig(static_cast<uint64_t>(d) + 1, kDescriptorSig)) {
            uint64_t dpos = static_cast<uint64_t>(d);
            size_t have = static_cast<size_t>(std::min<uint64_t>(zip::Zip64DataDescriptor::kSize, fileSize - dpos));
            if (have < zip::DataDescriptor::kSize) continue;
            uint8_t desc[zip::Zip64DataDescriptor::kSize];
            std::memcpy(desc, at(dpos, have), have);
            // Either form may be the one: both are indexed.
            Bytes narrowBytes(desc, have);
            zip::DataDescriptor narrow;
            zip::Read(narrowBytes, narrow);
            if (narrow.compressedSize <= dpos)
                descriptors.push_back({dpos - narrow.compressedSize, dpos, false, narrow.crc32,
                                       narrow.compressedSize, narrow.uncompressedSize});
            Bytes wideBytes(desc, have);
            zip::Zip64DataDescriptor wide;
            if (zip::Read(wideBytes, wide) && wide.compressedSize <= dpos)
                descriptors.push_back({dpos - wide.compressedSize, dpos, true, wide.crc32, wide.compressedSize,
                                       wide.uncompressedSize});
        }
        std::sort(descriptors.begin(), descriptors.end());
    };
    // Records a dropped member, by name while the list is short.
    constexpr size_t kMaxDamageNames = 64;
    auto damaged = [&](uint64_t header, uint16_t flags, size_t nameLength) {
        ++damagedCount_;
        if (damaged_.size() >= kMaxDamageNames) return;
        ZipEntry d;
        if (const uint8_t* n = at(header + zip::LocalHeader::kSize, nameLength)) {
            d.flags = flags;
            d.rawName.assign(reinterpret_cast<const char*>(n), nameLength);
            FinishEntry(d, false);
        }
        damaged_.push_back(d.name);
    };

    uint64_t pos = 0;
    std::vector<ZipEntry> entries;
    for (;;) {
        int64_t found = findSig(pos, kLocalSig);
        if (found < 0) break;
        uint64_t at0 = static_cast<uint64_t>(found);
        pos = at0 + 4;
        const uint8_t* h = at(at0, zip::LocalHeader::kSize);
        if (!h) {
            damaged(at0, 0, 0);
            continue;
        }
        // The signature was just found there: the header reads.
        Bytes r(h, zip::LocalHeader::kSize);
        zip::LocalHeader header;
        zip::Read(r, header);
        ZipEntry e;
        static_cast<zip::HeaderFields&>(e) = header;
        e.versionMadeBy = e.versionNeeded;
        uint64_t dataStart = at0 + zip::LocalHeader::kSize + e.nameLength + e.extraLength;
        // Sizes that run past the end are seen before the name and extra
        // field are copied; only a saturated size needs the Zip64 field.
        if (dataStart > fileSize ||
            (!(e.flags & 8) && e.compressedSize32 != 0xFFFFFFFF && e.compressedSize32 > fileSize - dataStart)) {
            damaged(at0, e.flags, e.nameLength);
            continue;
        }
        const uint8_t* nameExtra = at(at0 + zip::LocalHeader::kSize, static_cast<size_t>(e.nameLength) + e.extraLength);
        e.rawName.assign(reinterpret_cast<const char*>(nameExtra), e.nameLength);
        e.extras = ParseExtras(std::string(reinterpret_cast<const char*>(nameExtra) + e.nameLength, e.extraLength));
        e.localHeaderOffset32 = static_cast<uint32_t>(std::min<uint64_t>(at0, 0xFFFFFFFF));
        FinishEntry(e, false);
        e.localHeaderOffset = at0;
        bool zip64 = std::any_of(e.extras.begin(), e.extras.end(),
                                 [](const ZipExtraBlock& b) { return b.id == zip::Zip64Extra::kId; });
        uint64_t dataEnd;
        if (e.flags & 8) {
            if (!indexed) indexDescriptors();
            // The first descriptor after the data whose size fits it.
            auto it = std::lower_bound(descriptors.begin(), descriptors.end(),
                                       Descriptor{dataStart, 0, zip64, 0, 0, 0});
            if (it == descriptors.end() || it->dataStart != dataStart || it->zip64 != zip64) {
                damaged(at0, e.flags, e.nameLength);
                continue;
            }
            e.crc32 = it->crc;
            e.compressedSize = it->csize;
            e.uncompressedSize = it->usize;
            e.compressedSize32 = static_cast<uint32_t>(std::min<uint64_t>(it->csize, 0xFFFFFFFF));
            e.uncompressedSize32 = static_cast<uint32_t>(std::min<uint64_t>(it->usize, 0xFFFFFFFF));
            dataEnd = it->pos + (zip64 ? zip::Zip64DataDescriptor::kSize : zip::DataDescriptor::kSize);
        } else {
            if (e.compressedSize > fileSize - dataStart) {
                damaged(at0, e.flags, e.nameLength);
                continue;
            }
            dataEnd = dataStart + e.compressedSize;
        }
        e.nameLength = static_cast<uint16_t>(e.rawName.size());
        e.extraLength = static_cast<uint16_t>(SerializeExtras(e.extras).size());
        entries.push_back(std::move(e));
        pos = dataEnd;
    }
    if (entries.empty()) throw EZipError(zeInvalidArchive);
    entries_ = std::move(entries);
    directoryStart_ = fileSize;
    offsetBias_ = 0;
    scanned_ = true;
}

}  // namespace bv
