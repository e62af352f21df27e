// Windows implementation of the streaming file services.
#include "platform/file.h"
#include "platform/fs.h"

#include <windows.h>

namespace bv::fs {
namespace {

thread_local uint32_t t_lastError = 0;

uint32_t Fail() {
    t_lastError = GetLastError();
    return t_lastError;
}

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

uint32_t LastSystemError() { return t_lastError; }

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_), error_(other.error_) {
    other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        error_ = other.error_;
        other.handle_ = -1;
    }
    return *this;
}

bool File::Open(const std::wstring& path, FileMode mode) {
    Close();
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    if (mode == FileMode::ReadWrite) {
        access |= GENERIC_WRITE;
        share = FILE_SHARE_READ;
    } else if (mode == FileMode::Create) {
        access |= GENERIC_WRITE;
        share = FILE_SHARE_READ;
        disposition = CREATE_ALWAYS;
    }
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = Fail();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool File::IsOpen() const { return handle_ != -1; }

bool File::Close() {
    if (handle_ == -1) return true;
    BOOL ok = CloseHandle(H(handle_));
    handle_ = -1;
    if (!ok) {
        error_ = Fail();
        return false;
    }
    return true;
}

int64_t File::Read(void* buffer, size_t size) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(H(handle_), buffer, chunk, &got, nullptr)) {
        error_ = Fail();
        return -1;
    }
    return got;
}

int64_t File::ReadFull(void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        int64_t n = Read(static_cast<char*>(buffer) + done, size - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool File::Write(const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(H(handle_), p, chunk, &written, nullptr)) {
            error_ = Fail();
            return false;
        }
        if (written == 0) {
            error_ = t_lastError = ERROR_DISK_FULL;
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

bool File::Seek(uint64_t position) {
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(H(handle_), li, nullptr, FILE_BEGIN)) {
        error_ = Fail();
        return false;
    }
    return true;
}

int64_t File::Size() {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(H(handle_), &li)) {
        error_ = Fail();
        return -1;
    }
    return li.QuadPart;
}

bool File::Truncate() {
    if (!SetEndOfFile(H(handle_))) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool File::Flush() {
    if (!FlushFileBuffers(H(handle_))) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool File::SetDosTime(uint32_t dosDateTime) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(dosDateTime >> 16),
                               static_cast<WORD>(dosDateTime & 0xFFFF), &local) ||
        !LocalFileTimeToFileTime(&local, &utc) ||
        !SetFileTime(H(handle_), nullptr, nullptr, &utc)) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool GetAttributes(const std::wstring& path, uint32_t& attributes) {
    DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        Fail();
        return false;
    }
    attributes = a;
    return true;
}

bool SetAttributes(const std::wstring& path, uint32_t attributes) {
    if (!SetFileAttributesW(path.c_str(), attributes)) {
        Fail();
        return false;
    }
    return true;
}

bool GetDosTime(const std::wstring& path, uint32_t& dosDateTime) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    WORD date = 0, time = 0;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        !FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToDosDateTime(&local, &date, &time)) {
        Fail();
        return false;
    }
    dosDateTime = (uint32_t(date) << 16) | time;
    return true;
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
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return out;
    }
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

}  // namespace bv::fs
