// Native implementation of the streaming file services over POSIX.
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace bv::fs {
namespace {

thread_local uint32_t t_lastError = 0;

uint32_t Fail() {
    t_lastError = static_cast<uint32_t>(errno);
    return t_lastError;
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
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileMode::Read: flags |= O_RDONLY; break;
        case FileMode::ReadWrite: flags |= O_RDWR; break;
        // A link at the path is never followed: it could point anywhere.
        case FileMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
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
    if (fd < 0) {
        error_ = Fail();
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error_ = t_lastError = EISDIR;
        return false;
    }
    handle_ = fd;
    return true;
}

bool File::IsOpen() const { return handle_ >= 0; }

bool File::Close() {
    if (handle_ < 0) return true;
    int rc = ::close(static_cast<int>(handle_));
    handle_ = -1;
    if (rc != 0) {
        error_ = Fail();
        return false;
    }
    return true;
}

int64_t File::Read(void* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        error_ = Fail();
        return -1;
    }
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
        ssize_t n = ::write(static_cast<int>(handle_), p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = Fail();
            return false;
        }
        if (n == 0) {
            error_ = t_lastError = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool File::Seek(uint64_t position) {
    if (::lseek(static_cast<int>(handle_), static_cast<off_t>(position), SEEK_SET) < 0) {
        error_ = Fail();
        return false;
    }
    return true;
}

int64_t File::Size() {
    struct stat st{};
    if (::fstat(static_cast<int>(handle_), &st) != 0) {
        error_ = Fail();
        return -1;
    }
    return st.st_size;
}

bool File::Truncate() {
    off_t pos = ::lseek(static_cast<int>(handle_), 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(static_cast<int>(handle_), pos) != 0) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool File::Flush() {
    if (::fsync(static_cast<int>(handle_)) != 0) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool File::SetDosTime(uint32_t dosDateTime) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = DosToTime(dosDateTime);
    times[1].tv_nsec = 0;
    if (::futimens(static_cast<int>(handle_), times) != 0) {
        error_ = Fail();
        return false;
    }
    return true;
}

bool GetAttributes(const std::wstring& path, uint32_t& attributes) {
    struct stat st{};
    std::string host = HostPath(path);
    if (::stat(host.c_str(), &st) != 0) {
        Fail();
        return false;
    }
    size_t slash = host.find_last_of('/');
    attributes = ModeToAttributes(st, slash == std::string::npos ? host : host.substr(slash + 1));
    return true;
}

// Natively only the read-only bit has a meaning: it clears or restores the
// owner's write permission.
bool SetAttributes(const std::wstring& path, uint32_t attributes) {
    struct stat st{};
    std::string host = HostPath(path);
    if (::lstat(host.c_str(), &st) != 0) {
        Fail();
        return false;
    }
    // A link has no attributes of its own, and chmod would change its target.
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        Fail();
        return false;
    }
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & kAttrReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    if (mode == (st.st_mode & 07777)) return true;
    if (::chmod(host.c_str(), mode) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool GetDosTime(const std::wstring& path, uint32_t& dosDateTime) {
    struct stat st{};
    if (::stat(HostPath(path).c_str(), &st) != 0) {
        Fail();
        return false;
    }
    dosDateTime = TimeToDos(st.st_mtim.tv_sec);
    return true;
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
    if (!dir) {
        Fail();
        return out;
    }
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

}  // namespace bv::fs
