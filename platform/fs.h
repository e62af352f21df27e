// File-system services on Windows paths ("C:\BV500\ZODed.___"): one open file
// type, whole-file helpers, attributes, MS-DOS times, folders and listings.
// Natively a drive letter maps to a folder chosen with MapDrive and "\"
// becomes "/". A failing call answers an Error whose `native` is the
// system's code (a Win32 error; errno natively), for os::SystemErrorText;
// plain yes/no questions answer bool.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace bv::fs {

// Windows attribute bits as the ZIP format stores them.
enum : uint32_t {
    kAttrReadOnly = 0x01,
    kAttrHidden = 0x02,
    kAttrSystem = 0x04,
    kAttrVolume = 0x08,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
};

enum class FileMode {
    Read,       // existing file, reading; others may read, write and delete
    ReadWrite,  // existing file, reading and writing; others may read
    // Created empty or truncated, reading and writing; others may read.
    // Natively a symbolic link at the path is replaced, never written through.
    Create,
    // Created empty or truncated for writing by one operation and shared
    // with nobody (natively: opened for writing only, as POSIX has no
    // sharing modes).
    CreateExclusive,
    // Created for writing only when nothing is at the path yet (a file, a
    // folder or a link there is an error); others may read.
    CreateNew,
};

// One open file; destroying it closes the file.
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    Result<void> Open(const std::wstring& path, FileMode mode);
    bool IsOpen() const;
    Result<void> Close();
    // Reads up to `size` bytes; answers the count (0 at the end).
    Result<size_t> Read(void* buffer, size_t size);
    // Reads exactly `size` bytes unless the end comes first; answers the count.
    Result<size_t> ReadFull(void* buffer, size_t size);
    // Writes all bytes; fails when fewer were stored (disk full).
    Result<void> Write(const void* buffer, size_t size);
    Result<void> Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }
    Result<void> Seek(uint64_t position);
    Result<uint64_t> Size();
    Result<void> Truncate();  // at the current position
    // Goes back to the start and cuts the file there.
    Result<void> Empty();
    Result<void> Flush();
    // Sets the last-write time from an MS-DOS date (high 16 bits) and time
    // (low 16 bits) read as local time.
    Result<void> SetDosTime(uint32_t dosDateTime);

private:
    intptr_t handle_ = -1;
};

struct FileInfo {
    bool exists = false;
    bool directory = false;
    uint64_t size = 0;
    uint64_t writeTime = 0;  // opaque, only compared for equality
};

FileInfo Stat(const std::wstring& path);
bool FileExists(const std::wstring& path);       // a file, not a folder
bool DirectoryExists(const std::wstring& path);

// Whole-file helpers; each opens and closes the file within the call and
// fails when the system refuses (missing folder, sharing, rights).
Result<std::string> ReadFile(const std::wstring& path);
Result<void> WriteFile(const std::wstring& path, std::string_view bytes);   // create or truncate
Result<void> AppendFile(const std::wstring& path, std::string_view bytes);  // existing file only
Result<void> RemoveFile(const std::wstring& path);

// Opens the file for reading (sharing reading and writing) and takes its length.
Result<uint64_t> OpenedFileSize(const std::wstring& path);

// Attributes of a file or folder; fails when it does not exist.
Result<uint32_t> GetAttributes(const std::wstring& path);
Result<void> SetAttributes(const std::wstring& path, uint32_t attributes);
// The last-write time as an MS-DOS date and time in local time.
Result<uint32_t> GetDosTime(const std::wstring& path);
// The current local time as an MS-DOS date and time.
uint32_t DosTimeNow();

// A floppy drive ("A:", "B:") or a drive the system reports as removable.
bool IsRemovableDrive(const std::wstring& path);

struct DirEntry {
    std::wstring name;  // no folder part
    uint32_t attributes = 0;
    uint64_t size = 0;
};
// Every entry of the folder except "." and ".."; none when it cannot be read.
std::vector<DirEntry> ListDirectory(const std::wstring& folder);

// The full path of `path` against the current directory ("\" separators).
std::wstring FullPath(const std::wstring& path);

// Removes an empty folder.
Result<void> RemoveFolder(const std::wstring& path);

// Creates the folder and every missing parent; succeeds when it exists afterwards.
Result<void> ForceDirectories(const std::wstring& path);

// Walks the folders of `relative` ("\" between names) inside the folder
// `root` ("" for the current one), creating those missing when `create`
// (and `root` itself, links and all, when it is missing). Natively a
// symbolic link met below `root` is never followed: the walk stops there
// with Link and makes nothing. Any other failure is an error.
enum class FolderWalk { Done, Link };
Result<FolderWalk> MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create);

// True when a file (or, with `folder`, a folder) at the full path `path`
// could not be created by a program that is not long-path aware: 260
// characters (MAX_PATH) with the terminating zero for a file, 248 for a
// folder (CreateDirectory keeps room for an 8.3 name), unless the path
// carries the "\\?\" prefix. Natively the same rule holds, and the host path
// must also fit PATH_MAX.
bool PathTooLong(const std::wstring& path, bool folder = false);

// True when both paths name one existing file: the same file system object,
// whatever the spelling (letter case, short names, links, drive mappings).
bool SameFile(const std::wstring& a, const std::wstring& b);

std::wstring CurrentDirectory();

// Names of the files (not folders) in `folder` whose names match `mask`
// ("*" any run, "?" one character, letter case ignored), in the order the
// file system gives them.
std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& mask);

// True when `name` matches `mask`: "*" any run of characters, "?" exactly
// one, letters compared in the user's locale's upper case.
bool MaskMatches(const std::wstring& mask, const std::wstring& name);

// Moves a file to a new name; fails when the new name exists.
Result<void> RenameFile(const std::wstring& from, const std::wstring& to);
// Moves a file to a name in the same folder, putting it in the place of a
// file of that name in one step: someone who opens the name finds the old
// file or the new one, never a part. On Windows a read-only file in the way
// refuses (access denied); natively a link in the way is replaced, not the
// file it points to.
Result<void> RenameOver(const std::wstring& from, const std::wstring& to);

// Gives the file at `path` its name as `path` spells it where the file
// system kept another letter case: putting a file in the place of one whose
// name differs only in case keeps the old spelling under Wine. Natively
// (case-sensitive names) there is nothing to do.
Result<void> MatchNameCase(const std::wstring& path);

// Whether the system's code of a failed write means the disk (or the
// user's quota on it) is full.
bool IsDiskFull(uint32_t native);

// Native builds only: where drive letter `drive` lives ("/tmp/x" for C:).
void MapDrive(wchar_t drive, const std::string& folder);
// Native builds only: the host path a Windows path stands for.
std::string HostPath(const std::wstring& path);

}  // namespace bv::fs
