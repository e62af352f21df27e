// Windows implementation of the file services.
#include "platform/fs.h"

#include <windows.h>

namespace bv::fs {
namespace {

// The error of the call that just failed, from GetLastError.
Error Fail(const std::wstring& detail = {}) { return Error{0, GetLastError(), detail}; }
Error FailWith(DWORD code, const std::wstring& detail = {}) {
    SetLastError(code);
    return Fail(detail);
}

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Owns a file handle for the length of one call.
class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (valid()) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    bool close() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE h_;
};

// Writes all bytes; a write that stores nothing counts as a full disk.
Result<void> WriteAll(HANDLE h, const char* p, size_t size) {
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(h, p, chunk, &written, nullptr)) return Fail();
        if (written == 0) return FailWith(ERROR_DISK_FULL);
        p += written;
        size -= written;
    }
    return {};
}

}  // namespace

// --- One open file ---

Result<void> File::Open(const std::wstring& path, FileMode mode) {
    (void)Close();
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case FileMode::Read: break;
        case FileMode::ReadWrite:
            access |= GENERIC_WRITE;
            share = FILE_SHARE_READ;
            break;
        case FileMode::Create:
            access |= GENERIC_WRITE;
            share = FILE_SHARE_READ;
            disposition = CREATE_ALWAYS;
            break;
        case FileMode::CreateExclusive:
            access = GENERIC_WRITE;
            share = 0;
            disposition = CREATE_ALWAYS;
            break;
        case FileMode::CreateNew:
            access = GENERIC_WRITE;
            share = FILE_SHARE_READ;
            disposition = CREATE_NEW;
            break;
    }
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail(path);
    handle_ = reinterpret_cast<intptr_t>(h);
    return {};
}

bool File::IsOpen() const { return handle_ != -1; }

Result<void> File::Close() {
    if (handle_ == -1) return {};
    BOOL ok = CloseHandle(H(handle_));
    handle_ = -1;
    if (!ok) return Fail();
    return {};
}

Result<size_t> File::Read(void* buffer, size_t size) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(H(handle_), buffer, chunk, &got, nullptr)) return Fail();
    return static_cast<size_t>(got);
}

Result<void> File::Write(const void* buffer, size_t size) {
    return WriteAll(H(handle_), static_cast<const char*>(buffer), size);
}

Result<void> File::Seek(uint64_t position) {
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(H(handle_), li, nullptr, FILE_BEGIN)) return Fail();
    return {};
}

Result<uint64_t> File::Size() {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(H(handle_), &li)) return Fail();
    return static_cast<uint64_t>(li.QuadPart);
}

Result<void> File::Truncate() {
    if (!SetEndOfFile(H(handle_))) return Fail();
    return {};
}

Result<void> File::Empty() {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(H(handle_), start, nullptr, FILE_BEGIN) || !SetEndOfFile(H(handle_))) return Fail();
    return {};
}

Result<void> File::Flush() {
    if (!FlushFileBuffers(H(handle_))) return Fail();
    return {};
}

Result<void> File::SetDosTime(uint32_t dosDateTime) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(dosDateTime >> 16),
                               static_cast<WORD>(dosDateTime & 0xFFFF), &local) ||
        !LocalFileTimeToFileTime(&local, &utc) ||
        !SetFileTime(H(handle_), nullptr, nullptr, &utc))
        return Fail();
    return {};
}

// --- Paths ---

FileInfo Stat(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FileInfo info;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return info;
    info.exists = true;
    info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.writeTime = (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    return info;
}

bool FileExists(const std::wstring& path) {
    FileInfo info = Stat(path);
    return info.exists && !info.directory;
}

bool DirectoryExists(const std::wstring& path) {
    FileInfo info = Stat(path);
    return info.exists && info.directory;
}

Result<std::string> ReadFile(const std::wstring& path) {
    Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return Fail(path);
    std::string bytes;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(h.get(), buf, sizeof buf, &got, nullptr)) return Fail(path);
        if (got == 0) break;
        bytes.append(buf, got);
    }
    return bytes;
}

namespace {

// Writes the bytes to a file opened with `access` and `disposition` and closes it.
Result<void> WriteWhole(const std::wstring& path, DWORD access, DWORD disposition, std::string_view bytes) {
    Handle h(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return Fail(path);
    Result<void> written = WriteAll(h.get(), bytes.data(), bytes.size());
    if (!h.close() && written) return Fail(path);
    return written;
}

}  // namespace

Result<void> WriteFile(const std::wstring& path, std::string_view bytes) {
    return WriteWhole(path, GENERIC_WRITE, CREATE_ALWAYS, bytes);
}

Result<void> AppendFile(const std::wstring& path, std::string_view bytes) {
    return WriteWhole(path, FILE_APPEND_DATA, OPEN_EXISTING, bytes);
}

Result<void> RemoveFile(const std::wstring& path) {
    if (!::DeleteFileW(path.c_str())) return Fail(path);
    return {};
}

Result<uint64_t> OpenedFileSize(const std::wstring& path) {
    Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!h.valid() || !GetFileSizeEx(h.get(), &length)) return Fail(path);
    return static_cast<uint64_t>(length.QuadPart);
}

Result<uint32_t> GetAttributes(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return Fail(path);
    return static_cast<uint32_t>(a);
}

Result<void> SetAttributes(const std::wstring& path, uint32_t attributes) {
    if (!SetFileAttributesW(path.c_str(), attributes)) return Fail(path);
    return {};
}

Result<uint32_t> GetDosTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    WORD date = 0, time = 0;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        !FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToDosDateTime(&local, &date, &time))
        return Fail(path);
    return (uint32_t(date) << 16) | time;
}

uint32_t DosTimeNow() {
    SYSTEMTIME st;
    FILETIME ft;
    WORD date = 0, time = 0;
    GetLocalTime(&st);
    SystemTimeToFileTime(&st, &ft);
    FileTimeToDosDateTime(&ft, &date, &time);
    return (uint32_t(date) << 16) | time;
}

bool IsRemovableDrive(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') return false;
    wchar_t d = path[0];
    if (d == L'a' || d == L'A' || d == L'b' || d == L'B') return true;
    std::wstring root = path.substr(0, 2) + L"\\";
    return GetDriveTypeW(root.c_str()) == DRIVE_REMOVABLE;
}

std::vector<DirEntry> ListDirectory(const std::wstring& folder) {
    std::vector<DirEntry> out;
    std::wstring pattern = folder;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        DirEntry entry;
        entry.name = name;
        entry.attributes = data.dwFileAttributes;
        entry.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        out.push_back(std::move(entry));
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return out;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    out.resize(n);
    return out;
}

// --- Folders ---

Result<void> RemoveFolder(const std::wstring& path) {
    if (!::RemoveDirectoryW(path.c_str())) return Fail(path);
    return {};
}

Result<void> ForceDirectories(const std::wstring& path) {
    std::wstring p = path;
    while (p.size() > 3 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    if (p.empty()) return FailWith(ERROR_PATH_NOT_FOUND, path);
    // Walks up to the deepest folder that exists, then creates the missing
    // ones on the way down: a loop, so no depth can exhaust the stack.
    std::vector<std::wstring> missing;
    std::wstring at = p;
    for (;;) {
        DWORD attrs = GetFileAttributesW(at.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES) {
            if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return FailWith(ERROR_ALREADY_EXISTS, path);
            break;
        }
        missing.push_back(at);
        size_t cut = at.find_last_of(L"\\/");
        if (cut == std::wstring::npos || cut == 0) break;
        at = at.substr(0, cut);
        if (at.size() == 2 && at[1] == L':') break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (CreateDirectoryW(it->c_str(), nullptr)) continue;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS || !DirectoryExists(*it)) return FailWith(error, path);
    }
    return {};
}

Result<FolderWalk> MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create) {
    if (!create) return FolderWalk::Done;
    std::wstring full = root;
    if (!relative.empty()) {
        if (!full.empty() && full.back() != L'\\' && full.back() != L':') full += L'\\';
        full += relative;
    }
    if (full.empty()) return FolderWalk::Done;
    Result<void> made = ForceDirectories(full);
    if (!made) return made.error();
    return FolderWalk::Done;
}

bool PathTooLong(const std::wstring& path, bool folder) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) return false;
    // CreateDirectoryW keeps 12 characters for an 8.3 name below the folder.
    return path.size() >= (folder ? MAX_PATH - 12 : MAX_PATH);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    auto open = [](const std::wstring& p) {
        // No access rights asked: only the identity is read. Folders need
        // backup semantics to be opened at all.
        return CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    };
    Handle ha(open(a));
    if (!ha.valid()) return false;
    Handle hb(open(b));
    if (!hb.valid()) return false;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!GetFileInformationByHandle(ha.get(), &ia) || !GetFileInformationByHandle(hb.get(), &ib)) {
        // No identity to compare: fall back on the full paths, letter case ignored.
        auto full = [](const std::wstring& p) {
            DWORD n = GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
            std::wstring out(n, L'\0');
            out.resize(GetFullPathNameW(p.c_str(), n, out.data(), nullptr));
            return out;
        };
        std::wstring fa = full(a), fb = full(b);
        return CompareStringOrdinal(fa.c_str(), static_cast<int>(fa.size()), fb.c_str(),
                                    static_cast<int>(fb.size()), TRUE) == CSTR_EQUAL;
    }
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::wstring CurrentDirectory() {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring out(n, L'\0');
    n = GetCurrentDirectoryW(n, out.data());
    out.resize(n);
    return out;
}

std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& mask) {
    std::vector<std::wstring> names;
    std::wstring pattern = folder;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L':') pattern += L'\\';
    pattern += mask;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        // The system also matches the short 8.3 name ("x.___bak" as "X~1.___"):
        // only the long name counts.
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && MaskMatches(mask, data.cFileName))
            names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

Result<void> RenameFile(const std::wstring& from, const std::wstring& to) {
    if (!MoveFileW(from.c_str(), to.c_str())) return Fail(from);
    return {};
}

Result<void> RenameOver(const std::wstring& from, const std::wstring& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return Fail(from);
    return {};
}

Result<void> MatchNameCase(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return Fail(path);
    FindClose(find);
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
    const std::wstring name = path.substr(folder.size());
    if (name == data.cFileName) return {};
    // Only the letter case differs: the file is renamed away and back, as a
    // rename to the same name in another case is not made everywhere.
    const std::wstring step = folder + L"~bvcase" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount()) + L".tmp";
    if (!MoveFileW(path.c_str(), step.c_str())) return Fail(path);
    if (!MoveFileW(step.c_str(), path.c_str())) {
        Error failed = Fail(path);
        (void)MoveFileW(step.c_str(), (folder + data.cFileName).c_str());
        return failed;
    }
    return {};
}

bool IsDiskFull(uint32_t native) { return native == ERROR_DISK_FULL || native == ERROR_HANDLE_DISK_FULL; }

void MapDrive(wchar_t, const std::string&) {}
std::string HostPath(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace bv::fs
