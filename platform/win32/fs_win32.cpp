// Windows implementation of the file services.
#include "platform/fs.h"

#include <windows.h>

namespace bv::fs {
namespace {

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

bool WriteAll(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

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

bool ReadFile(const std::wstring& path, std::string& bytes) {
    Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    bytes.clear();
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(h.get(), buf, sizeof buf, &got, nullptr)) return false;
        if (got == 0) break;
        bytes.append(buf, got);
    }
    return true;
}

bool WriteFile(const std::wstring& path, std::string_view bytes) {
    Handle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    bool ok = WriteAll(h.get(), bytes);
    return h.close() && ok;
}

bool AppendFile(const std::wstring& path, std::string_view bytes) {
    Handle h(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    bool ok = WriteAll(h.get(), bytes);
    return h.close() && ok;
}

bool RemoveFile(const std::wstring& path) { return ::DeleteFileW(path.c_str()) != 0; }

namespace {

class Win32ExclusiveFile : public ExclusiveFile {
public:
    explicit Win32ExclusiveFile(HANDLE h) : h_(h) {}
    bool Write(std::string_view bytes) override { return WriteAll(h_.get(), bytes); }
    bool Empty() override {
        LARGE_INTEGER start{};
        return SetFilePointerEx(h_.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(h_.get());
    }

private:
    Handle h_;
};

}  // namespace

std::unique_ptr<ExclusiveFile> CreateExclusive(const std::wstring& path, uint32_t& error) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return nullptr;
    }
    error = 0;
    return std::make_unique<Win32ExclusiveFile>(h);
}

bool OpenedFileSize(const std::wstring& path, uint64_t& size, uint32_t& error) {
    Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!h.valid() || !GetFileSizeEx(h.get(), &length)) {
        error = GetLastError();
        return false;
    }
    size = static_cast<uint64_t>(length.QuadPart);
    error = 0;
    return true;
}

bool RemoveFolder(const std::wstring& path) { return ::RemoveDirectoryW(path.c_str()) != 0; }

bool ForceDirectories(const std::wstring& path) {
    std::wstring p = path;
    while (p.size() > 3 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    if (p.empty()) return false;
    // Walks up to the deepest folder that exists, then creates the missing
    // ones on the way down: a loop, so no depth can exhaust the stack.
    std::vector<std::wstring> missing;
    std::wstring at = p;
    for (;;) {
        DWORD attrs = GetFileAttributesW(at.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES) {
            if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return false;
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
        if (GetLastError() != ERROR_ALREADY_EXISTS || !DirectoryExists(*it)) return false;
    }
    return true;
}

FolderWalk MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create) {
    if (!create) return FolderWalk::Done;
    std::wstring full = root;
    if (!relative.empty()) {
        if (!full.empty() && full.back() != L'\\' && full.back() != L':') full += L'\\';
        full += relative;
    }
    if (full.empty()) return FolderWalk::Done;
    return ForceDirectories(full) ? FolderWalk::Done : FolderWalk::Failed;
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

bool RenameFile(const std::wstring& from, const std::wstring& to) {
    return MoveFileW(from.c_str(), to.c_str()) != 0;
}

uint32_t LastErrorCode() { return GetLastError(); }

void MapDrive(wchar_t, const std::string&) {}
std::string HostPath(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace bv::fs
