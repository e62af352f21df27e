// Native implementation of the file services over POSIX, mapping Windows
// paths onto host folders.
#include "platform/fs.h"
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <cwctype>
#include <map>
#include <mutex>

namespace bv::fs {
namespace {

// The error of the call that just failed, from errno.
Error Fail(const std::wstring& detail = {}) { return Error{0, static_cast<uint32_t>(errno), detail}; }
Error FailWith(int code, const std::wstring& detail = {}) {
    errno = code;
    return Fail(detail);
}

std::mutex g_driveMutex;
std::map<wchar_t, std::string>& Drives() {
    static std::map<wchar_t, std::string> drives;
    return drives;
}

// Writes all bytes; a write that stores nothing counts as a full disk.
Result<void> WriteAllTo(int fd, const char* p, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        if (n == 0) return FailWith(ENOSPC);
        p += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

time_t DosToTime(uint32_t dos) {
    tm parts{};
    parts.tm_year = static_cast<int>((dos >> 25) & 0x7F) + 80;
    parts.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
    parts.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
    parts.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
    parts.tm_min = static_cast<int>((dos >> 5) & 0x3F);
    parts.tm_sec = static_cast<int>((dos & 0x1F) * 2);
    parts.tm_isdst = -1;
    return mktime(&parts);
}

uint32_t TimeToDos(time_t t) {
    tm parts{};
    localtime_r(&t, &parts);
    if (parts.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);
    return (static_cast<uint32_t>(parts.tm_year - 80) << 25) |
           (static_cast<uint32_t>(parts.tm_mon + 1) << 21) |
           (static_cast<uint32_t>(parts.tm_mday) << 16) |
           (static_cast<uint32_t>(parts.tm_hour) << 11) |
           (static_cast<uint32_t>(parts.tm_min) << 5) | static_cast<uint32_t>(parts.tm_sec / 2);
}

uint32_t ModeToAttributes(const struct stat& st, const std::string& name) {
    uint32_t attrs = 0;
    if (S_ISDIR(st.st_mode)) attrs |= kAttrDirectory;
    else attrs |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) attrs |= kAttrReadOnly;
    if (!name.empty() && name[0] == '.') attrs |= kAttrHidden;
    return attrs;
}

}  // namespace

void MapDrive(wchar_t drive, const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_driveMutex);
    Drives()[static_cast<wchar_t>(std::towupper(drive))] = folder;
}

std::string HostPath(const std::wstring& path) {
    std::wstring rest = path;
    std::string prefix;
    if (rest.size() >= 2 && rest[1] == L':') {
        wchar_t letter = static_cast<wchar_t>(std::towupper(rest[0]));
        {
            std::lock_guard<std::mutex> lock(g_driveMutex);
            auto it = Drives().find(letter);
            prefix = it != Drives().end() ? it->second : std::string("/nonexistent-drive-") + char(letter);
        }
        rest = rest.substr(2);
        if (rest.empty() || (rest[0] != L'\\' && rest[0] != L'/')) rest = L"/" + rest;
    }
    for (wchar_t& c : rest)
        if (c == L'\\') c = L'/';
    return prefix + os::ToUtf8(rest);
}

// --- One open file ---

Result<void> File::Open(const std::wstring& path, FileMode mode) {
    (void)Close();
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileMode::Read: flags |= O_RDONLY; break;
        case FileMode::ReadWrite: flags |= O_RDWR; break;
        // A link at the path is never followed: it could point anywhere.
        case FileMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
        case FileMode::CreateExclusive: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case FileMode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    }
    std::string host = HostPath(path);
    int fd = ::open(host.c_str(), flags, 0644);
    if (fd < 0 && mode == FileMode::Create && errno == ELOOP) {
        // The path is a symbolic link (perhaps dangling): it is replaced by
        // a new file, not written through.
        if (::unlink(host.c_str()) == 0)
            fd = ::open(host.c_str(), (flags & ~O_TRUNC) | O_EXCL, 0644);
        else errno = ELOOP;
    }
    if (fd < 0) return Fail(path);
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return FailWith(EISDIR, path);
    }
    handle_ = fd;
    return {};
}

bool File::IsOpen() const { return handle_ >= 0; }

Result<void> File::Close() {
    if (handle_ < 0) return {};
    int rc = ::close(static_cast<int>(handle_));
    handle_ = -1;
    if (rc != 0) return Fail();
    return {};
}

Result<size_t> File::Read(void* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        return Fail();
    }
}

Result<void> File::Write(const void* buffer, size_t size) {
    return WriteAllTo(static_cast<int>(handle_), static_cast<const char*>(buffer), size);
}

Result<void> File::Seek(uint64_t position) {
    if (::lseek(static_cast<int>(handle_), static_cast<off_t>(position), SEEK_SET) < 0) return Fail();
    return {};
}

Result<uint64_t> File::Size() {
    struct stat st{};
    if (::fstat(static_cast<int>(handle_), &st) != 0) return Fail();
    return static_cast<uint64_t>(st.st_size);
}

Result<void> File::Truncate() {
    off_t pos = ::lseek(static_cast<int>(handle_), 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(static_cast<int>(handle_), pos) != 0) return Fail();
    return {};
}

Result<void> File::Empty() {
    if (::lseek(static_cast<int>(handle_), 0, SEEK_SET) != 0 || ::ftruncate(static_cast<int>(handle_), 0) != 0)
        return Fail();
    return {};
}

Result<void> File::Flush() {
    if (::fsync(static_cast<int>(handle_)) != 0) return Fail();
    return {};
}

Result<void> File::SetDosTime(uint32_t dosDateTime) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = DosToTime(dosDateTime);
    times[1].tv_nsec = 0;
    if (::futimens(static_cast<int>(handle_), times) != 0) return Fail();
    return {};
}

// --- Paths ---

FileInfo Stat(const std::wstring& path) {
    struct stat st{};
    FileInfo info;
    if (::stat(HostPath(path).c_str(), &st) != 0) return info;
    info.exists = true;
    info.directory = S_ISDIR(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
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
    int fd = ::open(HostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(path);
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            Error error = Fail(path);
            ::close(fd);
            return error;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

namespace {

// Writes the bytes to a file opened with `flags` and closes it.
Result<void> WriteWhole(const std::wstring& path, int flags, std::string_view bytes) {
    int fd = ::open(HostPath(path).c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(path);
    Result<void> written = WriteAllTo(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0 && written) return Fail(path);
    return written;
}

}  // namespace

Result<void> WriteFile(const std::wstring& path, std::string_view bytes) {
    return WriteWhole(path, O_WRONLY | O_CREAT | O_TRUNC, bytes);
}

Result<void> AppendFile(const std::wstring& path, std::string_view bytes) {
    return WriteWhole(path, O_WRONLY | O_APPEND, bytes);
}

Result<void> RemoveFile(const std::wstring& path) {
    if (::unlink(HostPath(path).c_str()) != 0) return Fail(path);
    return {};
}

Result<uint64_t> OpenedFileSize(const std::wstring& path) {
    int fd = ::open(HostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        Error error = Fail(path);
        if (fd >= 0) ::close(fd);
        return error;
    }
    ::close(fd);
    return static_cast<uint64_t>(st.st_size);
}

Result<uint32_t> GetAttributes(const std::wstring& path) {
    struct stat st{};
    std::string host = HostPath(path);
    if (::stat(host.c_str(), &st) != 0) return Fail(path);
    size_t slash = host.find_last_of('/');
    return ModeToAttributes(st, slash == std::string::npos ? host : host.substr(slash + 1));
}

// Natively only the read-only bit has a meaning: it clears or restores the
// owner's write permission.
Result<void> SetAttributes(const std::wstring& path, uint32_t attributes) {
    struct stat st{};
    std::string host = HostPath(path);
    if (::lstat(host.c_str(), &st) != 0) return Fail(path);
    // A link has no attributes of its own, and chmod would change its target.
    if (S_ISLNK(st.st_mode)) return FailWith(ELOOP, path);
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & kAttrReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    if (mode == (st.st_mode & 07777)) return {};
    if (::chmod(host.c_str(), mode) != 0) return Fail(path);
    return {};
}

Result<uint32_t> GetDosTime(const std::wstring& path) {
    struct stat st{};
    if (::stat(HostPath(path).c_str(), &st) != 0) return Fail(path);
    return TimeToDos(st.st_mtim.tv_sec);
}

uint32_t DosTimeNow() { return TimeToDos(time(nullptr)); }

bool IsRemovableDrive(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        wchar_t d = path[0];
        return d == L'a' || d == L'A' || d == L'b' || d == L'B';
    }
    return false;
}

std::vector<DirEntry> ListDirectory(const std::wstring& folder) {
    std::vector<DirEntry> out;
    std::string host = HostPath(folder);
    DIR* dir = ::opendir(host.empty() ? "." : host.c_str());
    if (!dir) return out;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st{};
        std::string full = host + (host.empty() || host.back() == '/' ? "" : "/") + name;
        if (::stat(full.c_str(), &st) != 0) continue;
        DirEntry entry;
        entry.name = os::FromUtf8(name);
        entry.attributes = ModeToAttributes(st, name);
        entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        out.push_back(std::move(entry));
    }
    ::closedir(dir);
    return out;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring p = path;
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    bool absolute = (p.size() >= 2 && p[1] == L':') || (!p.empty() && p[0] == L'\\');
    if (absolute) return p;
    std::wstring cwd = CurrentDirectory();
    for (wchar_t& c : cwd)
        if (c == L'/') c = L'\\';
    if (!cwd.empty() && cwd.back() != L'\\') cwd += L'\\';
    return cwd + p;
}

// --- Folders ---

Result<void> RemoveFolder(const std::wstring& path) {
    if (::rmdir(HostPath(path).c_str()) != 0) return Fail(path);
    return {};
}

Result<void> ForceDirectories(const std::wstring& path) {
    std::string host = HostPath(path);
    for (size_t pos = 1; pos <= host.size(); ++pos) {
        if (pos == host.size() || host[pos] == '/') {
            std::string part = host.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return Fail(path);
        }
    }
    struct stat st{};
    if (::stat(host.c_str(), &st) != 0) return Fail(path);
    // A file in the way: the last mkdir above answered EEXIST.
    if (!S_ISDIR(st.st_mode)) return FailWith(EEXIST, path);
    return {};
}

Result<FolderWalk> MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create) {
    std::string at = HostPath(root);
    if (create && !root.empty()) {
        struct stat st{};
        if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Result<void> made = ForceDirectories(root);
            if (!made) return made.error();
        }
    }
    std::string rest = HostPath(relative);
    for (size_t start = 0; start < rest.size();) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        if (end > start) {
            if (!at.empty() && at.back() != '/') at += '/';
            at.append(rest, start, end - start);
            struct stat st{};
            if (::lstat(at.c_str(), &st) != 0) {
                if (errno != ENOENT) return Fail();
                // Nothing below a missing folder can be a link.
                if (!create) return FolderWalk::Done;
                if (::mkdir(at.c_str(), 0755) != 0 && (errno != EEXIST || ::lstat(at.c_str(), &st) != 0))
                    return Fail();
            }
            if (S_ISLNK(st.st_mode)) return FolderWalk::Link;
            if (st.st_mode != 0 && !S_ISDIR(st.st_mode)) return FailWith(ENOTDIR);
        }
        start = end + 1;
    }
    return FolderWalk::Done;
}

bool PathTooLong(const std::wstring& path, bool folder) {
    const size_t limit = folder ? 260 - 12 : 260;
    if (path.compare(0, 4, L"\\\\?\\") != 0 && path.size() >= limit) return true;
    return HostPath(path).size() >= PATH_MAX;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    struct stat sa{}, sb{};
    if (::stat(HostPath(a).c_str(), &sa) != 0 || ::stat(HostPath(b).c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& mask) {
    std::vector<std::wstring> names;
    DIR* dir = ::opendir(HostPath(folder.empty() ? L"." : folder).c_str());
    if (!dir) return names;
    while (dirent* e = ::readdir(dir)) {
        std::wstring name = os::FromUtf8(e->d_name);
        if (!MaskMatches(mask, name)) continue;
        std::wstring path = folder;
        if (!path.empty() && path.back() != L'\\') path += L'\\';
        if (FileExists(path + name)) names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

Result<void> RenameFile(const std::wstring& from, const std::wstring& to) {
    if (Stat(to).exists) return FailWith(EEXIST, from);
    if (::rename(HostPath(from).c_str(), HostPath(to).c_str()) != 0) return Fail(from);
    return {};
}

Result<void> RenameOver(const std::wstring& from, const std::wstring& to) {
    if (::rename(HostPath(from).c_str(), HostPath(to).c_str()) != 0) return Fail(from);
    return {};
}

Result<void> MatchNameCase(const std::wstring&) { return {}; }

bool IsDiskFull(uint32_t native) { return native == ENOSPC || native == EDQUOT; }

std::wstring CurrentDirectory() {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return {};
    return os::FromUtf8(buf);
}

}  // namespace bv::fs
