// libFuzzer target: opens the input as an archive (read from memory), lists
// it, reads every plain member's data (to memory) and extracts everything
// into a scratch folder (on a memory file system where the system has one),
// through the same folder walk and path checks as any extraction.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/zip_archiver.h"
#include "platform/fs.h"

namespace {

// The archive is opened with the seeds' password set; a wrong one is asked
// for and the question is cancelled. Each try of an AES member derives its
// key anew (1000 rounds of HMAC-SHA1), the most costly step of a run, so
// each member gets one try, not one with no password and one with it.
class FuzzQuestions : public bv::Questions {
public:
    void ShowMessage(const std::wstring&) override {}
    void ShowError(const std::wstring&) override {}
    bv::Answer AskPassword(const std::wstring&, std::wstring&) override { return bv::Answer::Cancel; }
    bv::Answer AskFailure(const std::wstring&, bool) override { return bv::Answer::Ignore; }
};

// Lives until exit (never destroyed), when the folder is removed. It lies
// on a memory file system where there is one: every input is extracted
// there, and a disk would make that the cost of a run.
const std::string& Scratch() {
    static const std::string* dir = [] {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "bvzipfuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        bv::fs::MapDrive(L'F', tmpl);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Scratch(), ec);
        });
        return new std::string(tmpl);
    }();
    return *dir;
}

// Empties the folder open as `dir` and closes it. Reads the entries with the
// raw system call into a buffer on the stack: the C library's directory
// stream allocates 32 KiB for each folder, and under the address checker
// that allocation cost more than the whole removal.
bool EmptyFolder(int dir) {
    alignas(8) char buffer[4096];
    bool ok = true;
    for (;;) {
        long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (n <= 0) {
            ok = ok && n == 0;
            break;
        }
        for (long at = 0; at < n;) {
            struct Entry {
                uint64_t inode;
                int64_t offset;
                unsigned short length;
                unsigned char type;
                char name[1];
            };
            const auto* e = reinterpret_cast<const Entry*>(buffer + at);
            at += e->length;
            const std::string name = e->name;
            if (name == "." || name == "..") continue;
            // A link, even one to a folder, is removed itself.
            if (e->type != DT_DIR && ::unlinkat(dir, name.c_str(), 0) == 0) continue;
            if (e->type != DT_DIR && e->type != DT_UNKNOWN) {
                ok = false;
                continue;
            }
            int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = sub >= 0 && EmptyFolder(sub) && ok;
            ok = ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        }
    }
    ::close(dir);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch();
    FuzzQuestions questions;
    bv::ZipArchiver zip;
    zip.Questions = &questions;
    zip.Password = "pw";
    try {
        zip.OpenArchiveFromMemory(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const bv::EZipError&) {
        return 0;
    }
    size_t produced = 0;
    for (size_t i = 0; i < zip.Entries().size(); ++i) {
        // Encrypted members are read by the extraction below: each try of an
        // AES one derives its key anew, which would be most of a run's time.
        if (zip.Entries()[i].encryption != bv::ZipEncryption::None) continue;
        try {
            (void)zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
                produced += n;
                return p ? bv::Result<void>() : bv::Result<void>(bv::Error{});
            });
        } catch (const bv::EZipError&) {
        }
    }
    zip.BaseDir = L"F:\\out\\";
    try {
        zip.ExtractFiles(L"*");
    } catch (const bv::EZipError&) {
    }
    zip.CloseArchive();
    // An input that extracted nothing leaves no folder to remove.
    const std::string out = Scratch() + "/out";
    if (::rmdir(out.c_str()) != 0 && errno != ENOENT) {
        int dir = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0 || !EmptyFolder(dir) || ::rmdir(out.c_str()) != 0) {
            // Whatever this fast path could not remove, the library removes.
            std::error_code ec;
            std::filesystem::remove_all(out, ec);
        }
    }
    return 0;
}
