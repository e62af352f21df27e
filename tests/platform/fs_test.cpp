// The file services in both builds: a refused call carries the system's own
// code (errno natively, a Win32 error under Wine), and one file type covers
// streaming, exclusive creation and emptying.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs.h"

#ifndef _WIN32
#include <cerrno>
#endif

namespace bv::fs {
namespace {

// A scratch folder as a Windows path ending in "\" (natively on drive S:).
class Scratch {
public:
    Scratch() {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        host_ = std::filesystem::temp_directory_path() / ("bvfs-" + std::to_string(stamp));
        std::filesystem::create_directories(host_);
#ifdef _WIN32
        root_ = host_.wstring() + L"\\";
#else
        MapDrive(L'S', host_.string());
        root_ = L"S:\\";
#endif
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(host_, ec);
    }
    std::wstring operator/(const std::wstring& name) const { return root_ + name; }

private:
    std::filesystem::path host_;
    std::wstring root_;
};

#ifdef _WIN32
constexpr uint32_t kNotFound = 2, kPathNotFound = 3, kDenied = 5, kSharing = 32, kExists = 183,
                   kFileInTheWay = kExists;
#else
constexpr uint32_t kNotFound = ENOENT, kPathNotFound = ENOENT, kExists = EEXIST, kFileInTheWay = ENOTDIR;
#endif

template <class T>
Error ErrorOf(const Result<T>& r) {
    return r ? Error{-1, 0, L"<succeeded>"} : r.error();
}

TEST(FileServices, RefusalsCarryTheSystemsCode) {
    Scratch dir;
    ASSERT_TRUE(WriteFile(dir / L"a.txt", "a"));
    ASSERT_TRUE(WriteFile(dir / L"b.txt", "b"));
    ASSERT_TRUE(ForceDirectories(dir / L"sub"));
    struct Case {
        const char* what;
        std::function<Error()> call;
        uint32_t native;
        std::wstring detail;  // the path named, when the call names one
    };
    File held;
    std::vector<Case> cases = {
        {"ReadFile of a missing file", [&] { return ErrorOf(ReadFile(dir / L"none")); }, kNotFound,
         dir / L"none"},
        {"RemoveFile of a missing file", [&] { return ErrorOf(RemoveFile(dir / L"none")); }, kNotFound,
         dir / L"none"},
        {"OpenedFileSize of a missing file", [&] { return ErrorOf(OpenedFileSize(dir / L"none")); },
         kNotFound, dir / L"none"},
        {"AppendFile to a missing file", [&] { return ErrorOf(AppendFile(dir / L"none", "x")); },
         kNotFound, dir / L"none"},
        {"Open in a missing folder",
         [&] { return ErrorOf(File().Open(dir / L"no\\a.txt", FileMode::Read)); }, kPathNotFound,
         dir / L"no\\a.txt"},
        {"RenameFile onto an existing file", [&] { return ErrorOf(RenameFile(dir / L"a.txt", dir / L"b.txt")); },
         kExists, L""},
        {"ForceDirectories through a file", [&] { return ErrorOf(ForceDirectories(dir / L"a.txt\\sub")); },
         kFileInTheWay, dir / L"a.txt\\sub"},
        {"ForceDirectories onto a file", [&] { return ErrorOf(ForceDirectories(dir / L"a.txt")); }, kExists,
         dir / L"a.txt"},
        {"GetAttributes of a missing file", [&] { return ErrorOf(GetAttributes(dir / L"none")); }, kNotFound,
         dir / L"none"},
#ifdef _WIN32
        {"Create over a folder", [&] { return ErrorOf(File().Open(dir / L"sub", FileMode::Create)); },
         kDenied, dir / L"sub"},
        {"CreateExclusive of a file held exclusively",
         [&] {
             if (!held.Open(dir / L"held.txt", FileMode::CreateExclusive)) return Error{-2, 0, L"<not held>"};
             return ErrorOf(File().Open(dir / L"held.txt", FileMode::Read));
         },
         kSharing, dir / L"held.txt"},
#else
        {"Create over a folder", [&] { return ErrorOf(File().Open(dir / L"sub", FileMode::Create)); },
         static_cast<uint32_t>(EISDIR), dir / L"sub"},
        {"MakeFoldersWithin through a file",
         [&] { return ErrorOf(MakeFoldersWithin(dir / L"", L"a.txt\\sub", true)); },
         static_cast<uint32_t>(ENOTDIR), L""},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Error e = c.call();
        EXPECT_EQ(e.code, 0);
        EXPECT_EQ(e.native, c.native);
        if (!c.detail.empty()) {
            EXPECT_EQ(e.detail, c.detail);
        }
    }
    // The refused rename left both files as they were.
    Result<std::string> b = ReadFile(dir / L"b.txt");
    ASSERT_TRUE(b);
    EXPECT_EQ(b.value(), "b");
}

TEST(FileServices, OneFileTypeStreamsCreatesExclusivelyAndEmpties) {
    Scratch dir;
    const std::wstring path = dir / L"f.bin";
    {
        File f;
        ASSERT_TRUE(f.Open(path, FileMode::CreateExclusive));
        ASSERT_TRUE(f.Write("first attempt"));
        ASSERT_TRUE(f.Empty());
        ASSERT_TRUE(f.Write("retry"));
        ASSERT_TRUE(f.Close());
        EXPECT_FALSE(f.IsOpen());
    }
    Result<uint64_t> size = OpenedFileSize(path);
    ASSERT_TRUE(size);
    EXPECT_EQ(size.value(), 5u);

    File f;
    ASSERT_TRUE(f.Open(path, FileMode::ReadWrite));
    ASSERT_TRUE(f.Seek(3));
    ASSERT_TRUE(f.Truncate());
    ASSERT_TRUE(f.Seek(0));
    char buf[8] = {};
    Result<size_t> got = f.ReadFull(buf, sizeof buf);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(buf, got.value()), "ret");
    got = f.Read(buf, sizeof buf);  // at the end
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value(), 0u);
    Result<uint64_t> length = f.Size();
    ASSERT_TRUE(length);
    EXPECT_EQ(length.value(), 3u);
}

}  // namespace
}  // namespace bv::fs
