// ZipArchiver: one ZIP archive file per instance. Opens archives for reading
// (end record, Zip64, central directory, or a scan of the local headers of a
// damaged file), streams member data through decryption, inflate and checks,
// extracts members into files, and creates archives member by member.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/zip_records.h"
#include "archive/zip_source.h"
#include "platform/questions.h"
#include "platform/fs.h"

namespace bv {

namespace zip {
class AesCipher;
struct Inflater;
struct Deflater;
}

enum TCompressionLevel { clNone, clFastest, clNormal, clMax };
enum TZipStorePath { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum TZipOverwriteMode { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };

constexpr uint16_t fmOpenRead = 0;
// Adds to an existing archive: its members stay, and a file added under a
// member's name replaces that member. The work is done on a copy beside the
// archive, which takes the archive's place at CloseArchive when members were
// added; until then, and when nothing was added, the archive is untouched.
constexpr uint16_t fmOpenReadWrite = 2;
constexpr uint16_t fmCreate = 0xFF00;
constexpr uint32_t kZipSearchAttrAll = 10431;  // 0x28BF

// Error numbers of the component.
enum ZipErrorNumber : int {
    zeBadData = 8,
    zeBlankFileName = 10,
    zeFileNotFound = 12,
    zeNotOpen = 13,
    zeCreateFile = 19,
    zeCreateDir = 20,
    zeReadOnlyArchive = 32,
    zeOpenSource = 33,
    zeInvalidArchive = 35,
    zeNoZip64End = 40,
    zeNeedsZip64 = 43,
    zeArchiveRead = 45,
    zeDamaged = 48,
    zeDeflate64 = 55,
    zeNameTooLong = 61,
    zeDiskFull = 65,
    zeUnsafeName = 71,
    zeOwnArchive = 72,
    zeOverlap = 73,
    zeLocalName = 74,
    zeCutMember = 75,
    zeNoUpdate = 76,
};

// A failure of the component: its number and the full message, which ends in
// " - Native error: " and the number as five digits.
class EZipError : public std::exception {
public:
    EZipError(int number, const std::wstring& detail = L"", uint32_t native = 0);
    // For the texts with two details (the archive and a member).
    EZipError(int number, const std::wstring& detail, const std::wstring& detail2);
    int number() const { return number_; }
    const std::wstring& message() const { return message_; }
    uint32_t native() const { return native_; }
    const char* what() const noexcept override { return "EZipError"; }

private:
    int number_;
    uint32_t native_;
    std::wstring message_;
};

// The text of an error number with `detail` put in place of "%s" (and
// `detail2` in place of the second one, where the text has two).
std::wstring ZipErrorText(int number, const std::wstring& detail, const std::wstring& detail2 = L"");

enum class ZipEncryption { None, Pkware, Aes128, Aes192, Aes256 };

struct ZipExtraBlock {
    uint16_t id = 0;
    std::string data;
};

// One member: its central directory record (the fixed fields; the name,
// extra blocks and comment below), and what they were found to mean.
struct ZipEntry : zip::CentralRecord {
    std::wstring name;
    std::string rawName;
    std::vector<ZipExtraBlock> extras;
    std::string comment;

    ZipEncryption encryption = ZipEncryption::None;
    uint16_t actualMethod = 0;
    int aesStrength = 0;
    uint64_t uncompressedSize = 0;
    uint64_t compressedSize = 0;
    uint64_t localHeaderOffset = 0;
    uint32_t diskStart = 0;
    // An error number when the member is refused (its data overlaps another
    // member's, or its local header names another file); 0 otherwise.
    int refusal = 0;

    // Members being added.
    std::wstring sourcePath;
    std::string password;
    int deflateLevel = 0;

    // The host system that made the entry (the high byte of the version
    // made by): 0 MS-DOS, 3 Unix, 10 Windows NTFS, 11 ...
    uint8_t HostSystem() const { return static_cast<uint8_t>(versionMadeBy >> 8); }
    // The Unix mode (type and permissions) of an entry made on Unix that
    // carries one in the high 16 bits of its external attributes; 0 otherwise.
    uint32_t UnixMode() const { return HostSystem() == 3 ? externalAttributes >> 16 : 0; }
    // The MS-DOS attributes that stand for the member: for an entry with a
    // Unix mode, directory or archive by its type and read-only when the
    // owner may not write (its low 16 bits are not always attributes: some
    // tools leave 0xFFFF there); otherwise the external attributes as stored.
    uint32_t DosAttributes() const;
    // A folder: by its Unix mode when it has one, else by the MS-DOS
    // directory bit; a name ending in "/" is a folder in every case.
    bool IsDirectory() const;
    uint32_t DosDateTime() const { return (uint32_t(modDate) << 16) | modTime; }
};

struct ZipOptions {
    TZipStorePath StorePath = spRelativePath;
    bool Recurse = true;
    TZipOverwriteMode OverwriteMode = omAlways;
    bool CreateDirs = true;
    bool ReplaceReadOnly = true;
    bool SetAttributes = true;
    bool FlushBuffers = true;
    uint32_t SearchAttr = kZipSearchAttrAll;
    bool OEMFileNames = true;
};

class ZipArchiver {
public:
    ZipArchiver();
    ~ZipArchiver();
    ZipArchiver(const ZipArchiver&) = delete;
    ZipArchiver& operator=(const ZipArchiver&) = delete;

    // Settings.
    std::wstring FileName;
    std::wstring BaseDir;
    std::string Password;  // 8-bit, ANSI code page
    TCompressionLevel CompressionLevel = clFastest;
    bool UnicodeFilenames = false;
    bool ExtractCorruptedFiles = false;
    bool OpenCorruptedArchives = true;
    ZipOptions Options;
    // The questions this instance asks; nullptr asks SystemQuestions().
    bv::Questions* Questions = nullptr;
    // Threads that compress members being added while this one writes them
    // in order; 1 does everything on the calling thread. The archive's bytes
    // are the same whatever the number.
    unsigned Threads = 1;
    // Where encryption headers take their random bytes; empty uses the
    // system's strong source. Tests set it to get repeatable archives.
    std::function<bool(uint8_t* out, size_t length)> RandomSource;

    void OpenArchive(uint16_t mode);
    // Opens `bytes` for reading as the archive (FileName, if set, only names
    // it in messages). The caller keeps the bytes unchanged until CloseArchive.
    void OpenArchiveFromMemory(std::string_view bytes);
    void ExtractFiles(const std::wstring& mask, uint32_t searchAttr = kZipSearchAttrAll,
                      const std::wstring& excludeMask = L"");
    void AddFiles(const std::wstring& mask, uint32_t searchAttr = kZipSearchAttrAll,
                  const std::wstring& excludeMask = L"");
    void CloseArchive();
    // Between BeginUpdate and EndUpdate, AddFiles writes no directory: the
    // one directory is written by EndUpdate (or CloseArchive), however many
    // AddFiles calls were made. Calls nest.
    void BeginUpdate();
    void EndUpdate();

    bool IsOpen() const { return mode_ != Mode::Closed; }
    const std::vector<ZipEntry>& Entries() const { return entries_; }
    const std::string& Comment() const { return comment_; }
    // True when the directory was rebuilt by scanning the local headers:
    // the central directory could not be read. Callers say so (ScanReport).
    bool WasScanned() const { return scanned_; }
    // "the archive's directory is damaged; N members were found by scanning"
    // when the archive was opened by the scan; empty otherwise.
    std::wstring ScanReport() const;
    // True when the scan met members it had to drop: cut off by the end of
    // the file, or without their data descriptor.
    bool WasDamaged() const { return damagedCount_ > 0; }
    // One failure per dropped member (the first ones), naming the archive.
    std::vector<EZipError> Damage() const;

    // Streams one member's checked data into `sink` (an error from the sink
    // is a full disk). Answers false when the member was skipped at the
    // password prompt; failures raise EZipError.
    using Sink = std::function<Result<void>(const uint8_t* data, size_t length)>;
    // With `room`, inflated data is made directly where `room` says (it
    // answers the place and sets `length` to at least 1 byte of space) and
    // the sink is then called with that place: the data is not copied out of
    // a buffer of the reader's own.
    using Room = std::function<uint8_t*(size_t& length)>;
    bool ReadMemberData(size_t index, const Sink& sink, const Room& room = nullptr);

    // Members (files and folders) written since the archive was opened for
    // writing or updating; an aborted AddFiles takes back its own.
    size_t MembersWritten() const { return membersWritten_; }
    // The failure being put to the user while a failure question is asked
    // (a caller that shows its own text finds the system's code here);
    // nullptr at any other time.
    const EZipError* FailureAsked() const { return failureAsked_; }

private:
    enum class Mode { Closed, Reading, Writing };
    struct Packed;
    class Packer;
    class Unpacker;
    struct Listing {
        std::vector<fs::DirEntry> entries;  // sorted by name
        std::unordered_multimap<std::wstring, size_t> byUpperName;
        std::vector<size_t> folders;  // indexes of the subfolders
    };
    const Listing& ListFolder(const std::wstring& folder, Listing& scratch);

    bv::Questions& Ask();
    void Open(uint16_t mode, const std::string_view* memory);
    // Opening for an update: the directory is read from the archive, and
    // the archive up to its directory is copied into the partial file that
    // the update writes.
    void OpenForUpdate();
    // The update's partial file in place of the archive, or thrown away when
    // nothing was added (or `keep` is false).
    void FinishUpdate(bool keep);
    // True for a file found while adding that is the archive being written
    // or updated, reached by any path.
    bool IsOwnFile(const std::wstring& path, const fs::DirEntry& entry) const;
    // A name in `target`'s folder for a file that is written whole before
    // it takes `target`'s place; no file has it yet.
    std::wstring PartialName(const std::wstring& target);
    void ReadDirectory();
    bool ReadCentralDirectory(uint64_t fileSize);
    // Reads the directory that the end record at `endPos` (an offset in
    // `tail`, which starts at `tailStart`) names. Unreadable when the
    // directory is not where the record says; NoZip64End when its Zip64
    // locator names no Zip64 end record.
    enum class DirectoryRead { Read, Unreadable, NoZip64End };
    DirectoryRead ReadDirectoryAt(const std::vector<uint8_t>& tail, uint64_t tailStart, size_t endPos,
                                  uint64_t fileSize);
    void ScanLocalHeaders(uint64_t fileSize);
    void CheckMembers(uint64_t dirStart, uint64_t dirEnd, uint64_t fileSize);
    EZipError Refusal(const ZipEntry& e) const;
    // Puts a single member's or file's failure to the user.
    Answer AskAboutFailure(const EZipError& err);
    void FinishEntry(ZipEntry& e, bool central);
    uint64_t MemberDataStart(const ZipEntry& e);
    // Extracts one member; with `unpacker`, from what its workers made of
    // the k-th chosen member.
    void ExtractOne(const ZipEntry& entry, size_t index, Unpacker* unpacker = nullptr, size_t k = 0);
    // Adds one file or folder; with `packer`, from what its workers made of
    // the index-th file found.
    void AddOne(const std::wstring& source, const std::wstring& storedName, bool directory,
                Packer* packer = nullptr, size_t index = 0);
    void WriteMember(ZipEntry& entry, fs::File& source, Packer* packer, size_t index);
    // A large member's data, deflated in pieces on this thread.
    void WritePieces(ZipEntry& entry, fs::File& source, const std::function<void(uint8_t*, size_t)>& put,
                     uint32_t& crc, uint64_t& read);
    zip::Deflater& ReadyDeflater(int level);
    int DeflateLevel() const;
    void WriteDirectory();
    void WriteAt(uint64_t position, const std::string& bytes);
    void RebuildIndex();
    std::wstring StoredName(const std::wstring& fullPath, const std::wstring& root,
                            bool directory) const;
    void CollectFiles(const std::wstring& folder, const std::wstring& root,
                      const std::wstring& namePattern, const std::wstring& fullMask, uint32_t attr,
                      const std::wstring& exclude, bool topLevel,
                      std::vector<std::pair<std::wstring, fs::DirEntry>>& out);

    Mode mode_ = Mode::Closed;
    zip::Source file_;  // the archive file, or its bytes in memory
    std::wstring openPath_;  // the archive's full path
    // While updating: the partial file being written, and the size the
    // archive had when it was opened.
    std::wstring updatePath_;
    uint64_t archiveSize_ = 0;
    size_t membersWritten_ = 0;
    const EZipError* failureAsked_ = nullptr;
    uint32_t partialSeed_ = 0;
    uint32_t partialCount_ = 0;
    std::vector<ZipEntry> entries_;
    std::unordered_map<std::wstring, size_t> index_;
    std::string comment_;
    uint64_t directoryStart_ = 0;  // where the central directory begins
    int64_t offsetBias_ = 0;       // foreign data in front of the archive
    bool scanned_ = false;
    // Members the scan dropped: how many, and the names of the first ones
    // ("" where the name itself was cut off).
    size_t damagedCount_ = 0;
    std::vector<std::wstring> damaged_;
    // The folder (and whether it was made) that the latest member of this
    // extraction went to, found sound.
    std::wstring walkedFolder_;
    bool directoryWritten_ = false;
    int updateDepth_ = 0;
    // Folder listings kept for the length of an update, by upper-case path.
    std::unordered_map<std::wstring, Listing> listings_;
    // Kept between members. Growing one leaves its bytes uninitialised:
    // zeroing a megabyte would be most of the cost of a small archive.
    struct Buffer {
        std::unique_ptr<uint8_t[]> bytes;
        size_t length = 0;
        uint8_t* data() { return bytes.get(); }
        size_t size() const { return length; }
        void resize(size_t n) {
            if (n <= length) return;
            bytes.reset(new uint8_t[n]);
            length = n;
        }
    };
    Buffer inBuf_, outBuf_;
    std::string pieceOut_;
    std::unique_ptr<zip::Inflater> inflater_;
    std::unique_ptr<zip::Deflater> deflater_;
    std::unique_ptr<zip::AesCipher> aes_;
    int deflaterLevel_ = -1;
};

// True when the member named `storedName` is chosen by `mask` (mask
// preparation and the whole-name/last-part rule of extraction).
bool MemberMatchesMask(const std::wstring& mask, const std::wstring& storedName);

}  // namespace bv
