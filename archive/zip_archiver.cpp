// ZipArchiver, the facade of the ZIP component: error texts, opening and
// closing, the member masks, and extraction into files (member names made
// safe, folders walked, members read on worker threads when asked).
#include "archive/zip_archiver.h"

#include <algorithm>
#include <cwchar>

#include "archive/zip_crypto.h"
#include "archive/zip_internal.h"
#include "archive/zip_unpacker.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/strings.h"

namespace bv {

namespace zip {

std::wstring Upper(const std::wstring& s) { return os::UpperLocale(s); }

std::wstring ToBackslashes(std::wstring s) {
    std::replace(s.begin(), s.end(), L'/', L'\\');
    return s;
}

std::wstring CutDrive(const std::wstring& s, wchar_t sep) {
    if (s.size() >= 2 && s[1] == L':') return s.substr(2);
    if (s.size() >= 2 && s[0] == sep && s[1] == sep) {
        size_t host = s.find(sep, 2);
        if (host == std::wstring::npos) return {};
        size_t share = s.find(sep, host + 1);
        return share == std::wstring::npos ? std::wstring() : s.substr(share);
    }
    return s;
}

}  // namespace zip

namespace {

using zip::CutDrive;
using zip::kFilterBits;
using zip::ToBackslashes;
using zip::Upper;

// A path segment that Windows reads as a device (NUL, CON, AUX, PRN,
// COM1-COM9, LPT1-LPT9, and the console's own names), whatever the letter
// case, with or without an extension, and with the blanks and dots that
// Windows strips from the end of a name.
bool IsDeviceName(std::wstring segment) {
    while (!segment.empty() && (segment.back() == L' ' || segment.back() == L'.')) segment.pop_back();
    size_t dot = segment.find(L'.');
    if (dot != std::wstring::npos) segment.erase(dot);
    while (!segment.empty() && segment.back() == L' ') segment.pop_back();
    for (wchar_t& c : segment)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (segment == L"NUL" || segment == L"CON" || segment == L"AUX" || segment == L"PRN" ||
        segment == L"CONIN$" || segment == L"CONOUT$")
        return true;
    if (segment.size() != 4 || (segment.compare(0, 3, L"COM") != 0 && segment.compare(0, 3, L"LPT") != 0))
        return false;
    // The superscript digits one to three count as well.
    wchar_t d = segment[3];
    return (d >= L'1' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
}

// A member name that would put its file anywhere but below the extraction
// root: a drive, a share or a root-relative path, a ".." segment (also one
// that Windows would make ".." by stripping blanks and dots), or a device.
bool IsUnsafeName(const std::wstring& backslashed) {
    if (backslashed.empty()) return false;
    if (backslashed[0] == L'\\') return true;
    if (backslashed.find(L':') != std::wstring::npos) return true;
    for (wchar_t c : backslashed)
        if (static_cast<uint32_t>(c) < 0x20) return true;
    size_t start = 0;
    while (start <= backslashed.size()) {
        size_t end = backslashed.find(L'\\', start);
        if (end == std::wstring::npos) end = backslashed.size();
        std::wstring segment = backslashed.substr(start, end - start);
        if (segment.find(L"..") != std::wstring::npos &&
            segment.find_first_not_of(L". ") == std::wstring::npos)
            return true;
        if (IsDeviceName(segment)) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::wstring ZipErrorText(int number, const std::wstring& detail, const std::wstring& detail2) {
    switch (number) {
        case zeBadData: return L"Invalid size or check sum of file or unsupported compression format";
        case zeBlankFileName: return L"File name is blank. Specify appropriate file name";
        case zeFileNotFound: return L"File \"" + detail + L"\" not found";
        case zeNotOpen: return L"Archive is not open";
        case zeCreateFile: return L"Cannot create file \"" + detail + L"\"";
        case zeCreateDir: return L"Cannot create directory \"" + detail + L"\"";
        case zeReadOnlyArchive: return L"File is open in read-only mode";
        case zeOpenSource: return L"Cannot open file \"" + detail + L"\"";
        case zeInvalidArchive: return L"Invalid archive file.";
        case zeNoZip64End: return L"Cannot find Zip64 directory end record";
        case zeNeedsZip64: return L"Cannot compress file '" + detail + L"'. Zip64 mode is not enabled";
        case zeArchiveRead: return L"Cannot open archive file. Opening aborted or invalid file";
        case zeDamaged: return L"Archive is damaged. Open failed";
        case zeDeflate64: return L"Deflate64 compression method is not supported";
        case zeNameTooLong: return L"File name is too long: \r\n\"" + detail + L"\"";
        case zeDiskFull: return L"Disk is full. There is not enough free space on disk.";
        case zeUnsafeName:
            return L"Unsafe member name \"" + detail + L"\": it would be written outside the destination folder";
        case zeOwnArchive:
            return L"Unsafe member name \"" + detail + L"\": it would overwrite the archive being read";
        case zeOverlap:
            return L"Unsafe member \"" + detail + L"\": its data overlaps another member or the directory";
        case zeLocalName:
            return L"Unsafe member \"" + detail + L"\": its local header holds another name";
        case zeCutMember:
            return L"Archive \"" + detail + L"\" is damaged: " +
                   (detail2.empty() ? std::wstring(L"a member") : L"member \"" + detail2 + L"\"") +
                   L" is cut off";
        case zeNoUpdate: return L"Archive \"" + detail + L"\" cannot be updated: " + detail2;
        default: return L"Archive error";
    }
}

EZipError::EZipError(int number, const std::wstring& detail, uint32_t native)
    : number_(number), native_(native) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%05d", number);
    message_ = ZipErrorText(number, detail) + L" - Native error: " + digits;
}

EZipError::EZipError(int number, const std::wstring& detail, const std::wstring& detail2)
    : number_(number), native_(0) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%05d", number);
    message_ = ZipErrorText(number, detail, detail2) + L" - Native error: " + digits;
}

uint32_t ZipEntry::DosAttributes() const {
    const uint32_t mode = UnixMode();
    if (mode == 0) return externalAttributes;
    constexpr uint32_t kTypeBits = 0170000, kFolderType = 0040000, kOwnerWrite = 0200;
    uint32_t attributes = (mode & kTypeBits) == kFolderType ? fs::kAttrDirectory : fs::kAttrArchive;
    if (!(mode & kOwnerWrite)) attributes |= fs::kAttrReadOnly;
    return attributes;
}

bool ZipEntry::IsDirectory() const {
    return (DosAttributes() & fs::kAttrDirectory) != 0 ||
           (!name.empty() && (name.back() == L'/' || name.back() == L'\\'));
}

bool MemberMatchesMask(const std::wstring& mask, const std::wstring& storedName) {
    std::wstring m = mask;
    std::replace(m.begin(), m.end(), L'\\', L'/');
    m = CutDrive(m, L'/');
    while (!m.empty() && m[0] == L'/') m.erase(0, 1);
    size_t star = m.find(L"*.*");
    if (star != std::wstring::npos) m.replace(star, 3, L"*");
    if (m == L"*") return true;
    bool noExtension = false;
    if (!m.empty() && m.back() == L'.') {
        noExtension = true;
        m.pop_back();
    }
    std::wstring name = storedName;
    if (!name.empty() && (name.back() == L'/' || name.back() == L'\\')) name.pop_back();
    if (!name.empty() && name.back() == L'.') name.pop_back();
    std::wstring last = NameOf(name);
    if (noExtension && last.find(L'.') != std::wstring::npos) return false;
    return fs::MaskMatches(m, name) || fs::MaskMatches(m, last);
}

ZipArchiver::ZipArchiver() = default;

std::wstring ZipArchiver::ScanReport() const {
    if (!scanned_) return {};
    return L"the archive's directory is damaged; " + std::to_wstring(entries_.size()) +
           L" members were found by scanning";
}

ZipArchiver::~ZipArchiver() {
    try {
        CloseArchive();
    } catch (const std::exception&) {
    }
    crypto::Wipe(Password.data(), Password.size());
}

bv::Questions& ZipArchiver::Ask() { return Questions ? *Questions : SystemQuestions(); }

void ZipArchiver::OpenArchive(uint16_t mode) { Open(mode, nullptr); }

void ZipArchiver::OpenArchiveFromMemory(std::string_view bytes) { Open(fmOpenRead, &bytes); }

void ZipArchiver::Open(uint16_t mode, const std::string_view* memory) {
    if (FileName.empty() && !memory) throw EZipError(zeBlankFileName);
    CloseArchive();
    updateDepth_ = 0;
    listings_.clear();
    entries_.clear();
    index_.clear();
    comment_.clear();
    scanned_ = false;
    damagedCount_ = 0;
    damaged_.clear();
    offsetBias_ = 0;
    directoryStart_ = 0;
    directoryWritten_ = false;
    membersWritten_ = 0;
    archiveSize_ = 0;
    openPath_ = FileName.empty() ? std::wstring() : fs::FullPath(FileName);
    if (mode == fmOpenReadWrite && !memory) {
        OpenForUpdate();
        return;
    }
    if (mode == fmCreate) {
        Result<void> opened = file_.Open(FileName, fs::FileMode::Create);
        if (!opened) throw EZipError(zeCreateFile, FileName, opened.error().native);
        mode_ = Mode::Writing;
        return;
    }
    if (memory) {
        file_.OpenMemory(*memory);
    } else {
        if (!fs::IsRemovableDrive(openPath_) && !fs::FileExists(FileName))
            throw EZipError(zeFileNotFound, FileName);
        Result<void> opened = file_.Open(FileName, fs::FileMode::Read);
        if (!opened) throw EZipError(zeArchiveRead, FileName, opened.error().native);
    }
    mode_ = Mode::Reading;
    try {
        ReadDirectory();
    } catch (...) {
        (void)file_.Close();
        mode_ = Mode::Closed;
        entries_.clear();
        throw;
    }
    RebuildIndex();
}

void ZipArchiver::CloseArchive() {
    if (mode_ == Mode::Closed) return;
    Mode was = mode_;
    if (was == Mode::Writing && !directoryWritten_) {
        try {
            WriteDirectory();
        } catch (...) {
            mode_ = Mode::Closed;
            (void)file_.Close();
            entries_.clear();
            index_.clear();
            FinishUpdate(false);
            throw;
        }
    }
    mode_ = Mode::Closed;
    Result<void> closed = file_.Close();
    entries_.clear();
    index_.clear();
    if (!closed && was == Mode::Writing) {
        FinishUpdate(false);
        throw EZipError(zeDiskFull, L"", closed.error().native);
    }
    FinishUpdate(true);
}

void ZipArchiver::OpenForUpdate() {
    if (!fs::FileExists(FileName)) throw EZipError(zeFileNotFound, FileName);
    Result<uint32_t> attributes = fs::GetAttributes(FileName);
    if (attributes && (attributes.value() & fs::kAttrReadOnly))
        throw EZipError(zeNoUpdate, FileName, std::wstring(L"it is read-only"));
    Result<void> opened = file_.Open(FileName, fs::FileMode::Read);
    if (!opened) throw EZipError(zeArchiveRead, FileName, opened.error().native);
    mode_ = Mode::Reading;
    std::wstring partial;
    try {
        ReadDirectory();
        // A directory rebuilt by the scan, or offsets that count from
        // another start than the file's, would be written anew wrong.
        if (scanned_) throw EZipError(zeNoUpdate, FileName, ScanReport());
        if (offsetBias_ != 0)
            throw EZipError(zeNoUpdate, FileName, std::wstring(L"it does not start at the beginning of its file"));
        Result<uint64_t> size = file_.Size();
        if (!size) throw EZipError(zeArchiveRead, FileName, size.error().native);
        archiveSize_ = size.value();
        // Members are copied as they are; the directory is written anew.
        partial = PartialName(openPath_);
        fs::File copy;
        Result<void> made = copy.Open(partial, fs::FileMode::Create);
        if (!made) throw EZipError(zeCreateFile, partial, made.error().native);
        std::vector<uint8_t> block(1u << 20);
        for (uint64_t at = 0; at < directoryStart_;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), directoryStart_ - at));
            Result<void> read = file_.ReadAt(at, block.data(), n);
            if (!read) throw EZipError(zeArchiveRead, FileName, read.error().native);
            Result<void> written = copy.Write(block.data(), n);
            if (!written) throw EZipError(zeDiskFull, L"", written.error().native);
            at += n;
        }
        Result<void> closed = copy.Close();
        if (!closed) throw EZipError(zeDiskFull, L"", closed.error().native);
        (void)file_.Close();
        opened = file_.Open(partial, fs::FileMode::ReadWrite);
        if (!opened) throw EZipError(zeCreateFile, partial, opened.error().native);
    } catch (...) {
        (void)file_.Close();
        mode_ = Mode::Closed;
        entries_.clear();
        if (!partial.empty()) (void)fs::RemoveFile(partial);
        throw;
    }
    updatePath_ = partial;
    mode_ = Mode::Writing;
    // The directory on disk is the archive's own until a member is added.
    directoryWritten_ = true;
    RebuildIndex();
}

void ZipArchiver::FinishUpdate(bool keep) {
    if (updatePath_.empty()) return;
    const std::wstring partial = std::move(updatePath_);
    updatePath_.clear();
    if (!keep || membersWritten_ == 0) {
        (void)fs::RemoveFile(partial);
        return;
    }
    Result<void> moved = fs::RenameOver(partial, openPath_);
    if (!moved) {
        (void)fs::RemoveFile(partial);
        throw EZipError(zeCreateFile, openPath_, moved.error().native);
    }
}

std::wstring ZipArchiver::PartialName(const std::wstring& target) {
    // A random part keeps two programs that write into one folder apart.
    if (partialSeed_ == 0) {
        uint8_t random[4] = {};
        if (!crypto::RandomBytes(random, sizeof random))
            for (uint8_t& b : random) b = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(this) >> 4) ^ b;
        partialSeed_ = (uint32_t(random[0]) << 24 | uint32_t(random[1]) << 16 | uint32_t(random[2]) << 8 | random[3]) | 1;
    }
    const std::wstring folder = FolderOf(target);
    for (;;) {
        wchar_t tag[32];
        std::swprintf(tag, 32, L"%08x%x", partialSeed_, partialCount_++);
        std::wstring name = folder + L"~bvz" + tag + L".tmp";
        // A name as short as can be where the longer one would not fit.
        if (fs::PathTooLong(fs::FullPath(name))) name = folder + L"~" + std::to_wstring(partialCount_);
        if (!fs::Stat(name).exists) return name;
    }
}

void ZipArchiver::RebuildIndex() {
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_[Upper(entries_[i].name)] = i;
}

Answer ZipArchiver::AskAboutFailure(const EZipError& err) {
    // A name that is too long or unsafe, or a member refused for its place
    // in the archive, stays so: trying again cannot help.
    const int n = err.number();
    bool canRetry = n != zeNameTooLong && n != zeUnsafeName && n != zeOwnArchive && n != zeOverlap &&
                    n != zeLocalName && n != zeCutMember;
    std::wstring text = err.message();
    if (canRetry) text += L". File processing error, possibly disk is full";
    failureAsked_ = &err;
    Answer answer;
    try {
        answer = Ask().AskFailure(text, canRetry);
    } catch (...) {
        failureAsked_ = nullptr;
        throw;
    }
    failureAsked_ = nullptr;
    return answer;
}

void ZipArchiver::ExtractFiles(const std::wstring& mask, uint32_t searchAttr,
                               const std::wstring& excludeMask) {
    if (mode_ != Mode::Reading) throw EZipError(zeNotOpen);
    walkedFolder_.clear();
    std::vector<size_t> chosen;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const ZipEntry& e = entries_[i];
        if (!MemberMatchesMask(mask, e.name)) continue;
        if ((e.DosAttributes() & kFilterBits) & ~searchAttr) continue;
        if (!excludeMask.empty() && MemberMatchesMask(excludeMask, e.name)) continue;
        chosen.push_back(i);
    }
    std::unique_ptr<Unpacker> unpacker;
    if (Threads > 1 && chosen.size() > 1) unpacker = std::make_unique<Unpacker>(*this, chosen, Threads);
    for (size_t k = 0; k < chosen.size(); ++k) {
        const size_t i = chosen[k];
        const ZipEntry& e = entries_[i];
        bool stop = false;
        for (;;) {
            try {
                // A retry reads the member again, on this thread.
                ExtractOne(e, i, unpacker.get(), k);
                break;
            } catch (const EZipError& err) {
                if (err.number() == zeArchiveRead) stop = true;
                else if (Answer a = AskAboutFailure(err); a == Answer::Abort) stop = true;
                else if (a == Answer::Retry) continue;
                break;
            }
        }
        if (unpacker) unpacker->Release(k);
        if (stop) return;
    }
    unpacker.reset();
    // Members the scan had to drop are failures of this mask too.
    for (const std::wstring& name : damaged_) {
        if (!MemberMatchesMask(mask, name)) continue;
        if (!excludeMask.empty() && !name.empty() && MemberMatchesMask(excludeMask, name)) continue;
        if (AskAboutFailure(EZipError(zeCutMember, FileName, name)) == Answer::Abort) return;
    }
}

void ZipArchiver::ExtractOne(const ZipEntry& e, size_t index, Unpacker* unpacker, size_t k) {
    if (e.refusal) throw Refusal(e);
    std::wstring name = ToBackslashes(e.name);
    if (IsUnsafeName(name)) throw EZipError(zeUnsafeName, e.name);
    std::wstring root = BaseDir.empty() ? std::wstring() : AddBackslash(BaseDir);
    std::wstring target = root + name;
    bool directory = e.IsDirectory();
    // The member's folders below the destination ("" for none).
    std::wstring relative = DropTrailingBackslash(directory ? name : FolderOf(name));
    // Refused before anything is created: a path the system cannot take
    // (a folder has 12 characters less room than a file), and the archive
    // that is being read.
    if (fs::PathTooLong(fs::FullPath(target)) ||
        (!relative.empty() && fs::PathTooLong(fs::FullPath(root + relative), true)))
        throw EZipError(zeNameTooLong, target);
    const bool exists = !directory && fs::FileExists(target);
    if (exists && !openPath_.empty() && fs::SameFile(target, openPath_)) throw EZipError(zeOwnArchive, e.name);
    // The folders are walked one by one; natively a link among them would
    // lead the member out of the destination. Members of one folder follow
    // each other: the folder walked for the member before needs no new walk
    // (an extraction makes no links).
    bool create = Options.CreateDirs && !(root + relative).empty();
    std::wstring walked = root + relative + L'|';
    Result<fs::FolderWalk> walk =
        walked == walkedFolder_ ? fs::FolderWalk::Done : fs::MakeFoldersWithin(root, relative, create);
    if (!walk) throw EZipError(zeCreateDir, DropTrailingBackslash(root + relative), walk.error().native);
    switch (walk.value()) {
        case fs::FolderWalk::Done: walkedFolder_ = walked; break;
        case fs::FolderWalk::Link: throw EZipError(zeUnsafeName, e.name);
    }
    if (directory) return;
    // The member is written into a partial file beside the target, which
    // takes the target's place only once the member is whole and checked: a
    // member that fails, is skipped or is cancelled leaves the file that was
    // there as it was.
    const std::wstring partial = PartialName(target);
    fs::File out;
    Result<void> created = out.Open(partial, fs::FileMode::Create);
    if (!created) throw EZipError(zeCreateFile, target, created.error().native);
    bool done = false;
    try {
        const Sink write = [&](const uint8_t* p, size_t n) { return out.Write(p, n); };
        if (unpacker && unpacker->Write(k, Password, write)) {
            done = true;
        } else {
            // What a worker had written is thrown away: this thread reads
            // the member itself.
            if (unpacker) {
                Result<void> rewound = out.Seek(0);
                if (rewound) rewound = out.Truncate();
                if (!rewound) throw EZipError(zeDiskFull, L"", rewound.error().native);
            }
            done = ReadMemberData(index, write);
        }
    } catch (...) {
        (void)out.Close();
        (void)fs::RemoveFile(partial);
        throw;
    }
    if (done) {
        (void)out.SetDosTime(e.DosDateTime());
        if (Options.FlushBuffers && fs::IsRemovableDrive(fs::FullPath(target))) (void)out.Flush();
    }
    Result<void> closed = out.Close();
    if (!done) {
        (void)fs::RemoveFile(partial);
        return;
    }
    if (!closed) {
        (void)fs::RemoveFile(partial);
        throw EZipError(zeDiskFull, L"", closed.error().native);
    }
    Result<void> moved = fs::RenameOver(partial, target);
    if (!moved && exists) {
        // Windows will not put a file in the place of a read-only one: the
        // old file is made plain first, and gets its attributes back if it
        // still cannot be replaced.
        Result<uint32_t> old = fs::GetAttributes(target);
        const uint32_t held = fs::kAttrReadOnly | fs::kAttrHidden | fs::kAttrSystem;
        if (old && (old.value() & held) && (Options.ReplaceReadOnly || !(old.value() & fs::kAttrReadOnly)) &&
            fs::SetAttributes(target, 0)) {
            moved = fs::RenameOver(partial, target);
            if (!moved) (void)fs::SetAttributes(target, old.value());
        }
    }
    if (!moved) {
        (void)fs::RemoveFile(partial);
        throw EZipError(zeCreateFile, target, moved.error().native);
    }
    // The file is named as the member, also where the old one's name had
    // other letter case.
    if (exists) (void)fs::MatchNameCase(target);
    if (Options.SetAttributes) (void)fs::SetAttributes(target, e.DosAttributes());
}

}  // namespace bv
