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
#include <cwctype>
#include <map>
#include <mutex>

namespace bv::fs {
namespace {

std::mutex g_driveMutex;
std::map<wchar_t, std::string>& Drives() {
    static std::map<wchar_t, std::string> drives;
    return drives;
}

bool WriteAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
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

bool ReadFile(const std::wstring& path, std::string& bytes) {
    int fd = ::open(HostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool WriteFile(const std::wstring& path, std::string_view bytes) {
    int fd = ::open(HostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAllTo(fd, bytes);
    return ::close(fd) == 0 && ok;
}

bool AppendFile(const std::wstring& path, std::string_view bytes) {
    int fd = ::open(HostPath(path).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteAllTo(fd, bytes);
    return ::close(fd) == 0 && ok;
}

bool RemoveFile(const std::wstring& path) { return ::unlink(HostPath(path).c_str()) == 0; }

namespace {

class PosixExclusiveFile : public ExclusiveFile {
public:
    explicit PosixExclusiveFile(int fd) : fd_(fd) {}
    ~PosixExclusiveFile() override { ::close(fd_); }
    bool Write(std::string_view bytes) override { return WriteAllTo(fd_, bytes); }
    bool Empty() override { return ::lseek(fd_, 0, SEEK_SET) == 0 && ::ftruncate(fd_, 0) == 0; }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<ExclusiveFile> CreateExclusive(const std::wstring& path, uint32_t& error) {
    // POSIX has no sharing modes: the file is opened for writing only.
    int fd = ::open(HostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    error = 0;
    return std::make_unique<PosixExclusiveFile>(fd);
}

bool OpenedFileSize(const std::wstring& path, uint64_t& size, uint32_t& error) {
    int fd = ::open(HostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = static_cast<uint32_t>(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    size = static_cast<uint64_t>(st.st_size);
    error = 0;
    return true;
}

bool RemoveFolder(const std::wstring& path) { return ::rmdir(HostPath(path).c_str()) == 0; }

bool ForceDirectories(const std::wstring& path) {
    std::string host = HostPath(path);
    for (size_t pos = 1; pos <= host.size(); ++pos) {
        if (pos == host.size() || host[pos] == '/') {
            std::string part = host.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st{};
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FolderWalk MakeFoldersWithin(const std::wstring& root, const std::wstring& relative, bool create) {
    std::string at = HostPath(root);
    if (create && !root.empty()) {
        struct stat st{};
        if ((::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) && !ForceDirectories(root))
            return FolderWalk::Failed;
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
                if (errno != ENOENT) return FolderWalk::Failed;
                // Nothing below a missing folder can be a link.
                if (!create) return FolderWalk::Done;
                if (::mkdir(at.c_str(), 0755) != 0 && (errno != EEXIST || ::lstat(at.c_str(), &st) != 0))
                    return FolderWalk::Failed;
            }
            if (S_ISLNK(st.st_mode)) {
                errno = ELOOP;
                return FolderWalk::Link;
            }
            if (st.st_mode != 0 && !S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return FolderWalk::Failed;
            }
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

bool RenameFile(const std::wstring& from, const std::wstring& to) {
    if (Stat(to).exists) {
        errno = EEXIST;
        return false;
    }
    return ::rename(HostPath(from).c_str(), HostPath(to).c_str()) == 0;
}

uint32_t LastErrorCode() { return static_cast<uint32_t>(errno); }

std::wstring CurrentDirectory() {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return {};
    return os::FromUtf8(buf);
}

}  // namespace bv::fs
