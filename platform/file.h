// Streaming file access, attributes, MS-DOS times, folder listing and drive
// types: what the ZIP component needs beyond the whole-file helpers of fs.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    ReadWrite,  // existing file, reading and writing
    Create,     // created empty or truncated, reading and writing
};

// One open file. Every failing call leaves the system's error code in
// LastError() (GetLastError on Windows, errno natively).
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    bool Open(const std::wstring& path, FileMode mode);
    bool IsOpen() const;
    bool Close();
    // Reads up to `size` bytes; answers the count (0 at the end), or -1.
    int64_t Read(void* buffer, size_t size);
    // Reads exactly `size` bytes unless the end comes first; answers the count or -1.
    int64_t ReadFull(void* buffer, size_t size);
    // Writes all bytes; false when fewer were stored (disk full) or on error.
    bool Write(const void* buffer, size_t size);
    bool Seek(uint64_t position);
    int64_t Size();
    bool Truncate();  // at the current position
    bool Flush();
    // Sets the last-write time from an MS-DOS date (high 16 bits) and time
    // (low 16 bits) read as local time.
    bool SetDosTime(uint32_t dosDateTime);
    uint32_t LastError() const { return error_; }

private:
    intptr_t handle_ = -1;
    uint32_t error_ = 0;
};

// The system's error code of the latest failing call of this thread.
uint32_t LastSystemError();

// Attributes of a file or folder; false when it does not exist.
bool GetAttributes(const std::wstring& path, uint32_t& attributes);
bool SetAttributes(const std::wstring& path, uint32_t attributes);
// The last-write time as an MS-DOS date and time in local time.
bool GetDosTime(const std::wstring& path, uint32_t& dosDateTime);
// The current local time as an MS-DOS date and time.
uint32_t DosTimeNow();

// A floppy drive ("A:", "B:") or a drive the system reports as removable.
bool IsRemovableDrive(const std::wstring& path);

struct DirEntry {
    std::wstring name;  // no folder part
    uint32_t attributes = 0;
    uint64_t size = 0;
};
// Every entry of the folder except "." and "..".
std::vector<DirEntry> ListDirectory(const std::wstring& folder);

// The full path of `path` against the current directory ("\" separators).
std::wstring FullPath(const std::wstring& path);

}  // namespace bv::fs
