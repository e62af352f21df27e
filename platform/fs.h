// File-system services on Windows paths ("C:\BV500\ZODed.___"). Natively a
// drive letter maps to a folder chosen with MapDrive and "\" becomes "/".
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bv::fs {

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
// answers false when the system refuses (missing folder, sharing, rights).
bool ReadFile(const std::wstring& path, std::string& bytes);
bool WriteFile(const std::wstring& path, std::string_view bytes);   // create or truncate
bool AppendFile(const std::wstring& path, std::string_view bytes);  // existing file only
bool RemoveFile(const std::wstring& path);

// A file held open for writing by one operation and shared with nobody;
// destroying it closes the file.
class ExclusiveFile {
public:
    virtual ~ExclusiveFile() = default;
    virtual bool Write(std::string_view bytes) = 0;
    // Goes back to the start and cuts the file there.
    virtual bool Empty() = 0;
};

// Creates the file, or empties the one already there, for exclusive writing;
// nullptr with the system's error code in `error` when refused.
std::unique_ptr<ExclusiveFile> CreateExclusive(const std::wstring& path, uint32_t& error);

// Opens the file for reading (sharing reading and writing) and takes its
// length; false with the system's error code in `error` when it cannot be
// opened.
bool OpenedFileSize(const std::wstring& path, uint64_t& size, uint32_t& error);


// Removes an empty folder.
bool RemoveFolder(const std::wstring& path);

// Creates the folder and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::wstring& path);

// Walks the folders of `relative` ("\" between names) inside the folder
// `root` ("" for the current one), creating those missing when `create`
// (and `root` itself, links and all, when it is missing). Natively a
// symbolic link met below `root` is never followed: the walk stops there
// with Link and makes nothing. Failed leaves the reason in LastErrorCode().
enum class FolderWalk { Done, Link, Failed };
FolderWalk MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create);

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
bool RenameFile(const std::wstring& from, const std::wstring& to);

// Why the calling thread's last failed file call (RemoveFile, RenameFile, a
// write) failed: the system's error code (a Win32 error; errno natively),
// for os::SystemErrorText.
uint32_t LastErrorCode();

// Native builds only: where drive letter `drive` lives ("/tmp/x" for C:).
void MapDrive(wchar_t drive, const std::string& folder);
// Native builds only: the host path a Windows path stands for.
std::string HostPath(const std::wstring& path);

}  // namespace bv::fs
