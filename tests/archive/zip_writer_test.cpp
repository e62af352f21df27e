// Creating archives: records and fields, names, encryption, replacement of
// same-named members, the failure dialog with Abort undoing the update, and
// the zip writer object.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "archive/console_zip.h"
#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "util/error.h"
#include "tests/archive/zip_test_util.h"

namespace bv {
namespace {

std::string ReadMember(ZipArchiver& zip, size_t i) {
    std::string out;
    zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
        out.append(reinterpret_cast<const char*>(p), n);
        return true;
    });
    return out;
}

uint32_t U16At(const std::string& s, size_t pos) {
    return uint8_t(s[pos]) | (uint32_t(uint8_t(s[pos + 1])) << 8);
}

class ZipWriterTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    std::wstring arc = dir / L"out.zip";
    std::wstring src = dir / L"src\\";
    test::ScriptedQuestions q;
    test::UseQuestions use{q};

    void SetUp() override { ASSERT_TRUE(fs::ForceDirectories(src)); }
    void Src(const std::wstring& name, const std::string& bytes) { test::WriteAll(src + name, bytes); }
    void Reopen(ZipArchiver& z) {
        z.CloseArchive();
        z.FileName = arc;
        z.OpenArchive(fmOpenRead);
    }
    // A file every attempt to open fails on (natively: a socket).
    bool MakeUnreadable(const std::wstring& name) {
#ifdef _WIN32
        (void)name;
        return false;
#else
        std::string host = fs::HostPath(src + name);
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (host.size() >= sizeof addr.sun_path) return false;
        std::copy(host.begin(), host.end(), addr.sun_path);
        bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(s);
        return ok;
#endif
    }
};

TEST_F(ZipWriterTest, EmptyArchiveIsTheEndRecordAlone) {
    ZipArchiver z;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.CloseArchive();
    std::string bytes = test::ReadAll(arc);
    EXPECT_EQ(bytes, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    Reopen(z);
    EXPECT_TRUE(z.Entries().empty());
}

TEST_F(ZipWriterTest, EveryLevelRoundTripsAndEmptyFilesAreStored) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
    Src(L"a.txt", text);
    Src(L"empty.dat", "");
    for (TCompressionLevel level : {clNone, clFastest, clNormal, clMax}) {
        SCOPED_TRACE(static_cast<int>(level));
        ZipArchiver z;
        z.FileName = arc;
        z.CompressionLevel = level;
        z.OpenArchive(fmCreate);
        z.AddFiles(src + L"*");
        Reopen(z);
        ASSERT_EQ(z.Entries().size(), 2u);
        const ZipEntry& a = z.Entries()[0];
        const ZipEntry& e = z.Entries()[1];
        EXPECT_EQ(a.name, L"a.txt");
        EXPECT_EQ(a.method, level == clNone ? 0 : 8);
        EXPECT_EQ(a.uncompressedSize, text.size());
        EXPECT_EQ(ReadMember(z, 0), text);
        EXPECT_EQ(e.method, 0);
        EXPECT_EQ(e.crc32, 0u);
        EXPECT_EQ(e.compressedSize, 0u);
        EXPECT_EQ(e.uncompressedSize, 0u);
        EXPECT_EQ(e.versionMadeBy, 20);
        EXPECT_EQ(e.flags & 8, 0);
    }
}

TEST_F(ZipWriterTest, NamesUseOemBytesUtf8FlagAndUnicodeField) {
    Src(L"a.txt", "a");
    Src(L"b-K\u00E4se.txt", "cheese");
    Src(L"c-\u043A\u0430\u0442.txt", "cyrillic");
    ZipArchiver z;
    z.FileName = arc;
    z.UnicodeFilenames = true;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"*.txt");
    z.CloseArchive();
    std::string bytes = test::ReadAll(arc);
    // Local header of a.txt: extra length 22 = the "NU" block with size 18.
    ASSERT_EQ(bytes.substr(30, 5), "a.txt");
    EXPECT_EQ(U16At(bytes, 28), 22u);
    EXPECT_EQ(bytes.substr(35, 4), std::string("NU\x12\0", 4));
    EXPECT_EQ(bytes.substr(39, 4), "NUCX");
    size_t central = bytes.find(std::string("PK\x01\x02", 4));
    EXPECT_EQ(U16At(bytes, central + 30), 22u);

    Reopen(z);
    std::vector<std::wstring> names;
    for (const ZipEntry& e : z.Entries()) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a.txt", L"b-K\u00E4se.txt", L"c-\u043A\u0430\u0442.txt"}));
    for (const ZipEntry& e : z.Entries()) {
        if (e.name == L"b-K\u00E4se.txt") {
            EXPECT_EQ(e.rawName, "b-K\x84se.txt");
            EXPECT_EQ(e.flags & 0x800, 0);
        }
        if (e.name == L"c-\u043A\u0430\u0442.txt") {
            EXPECT_EQ(e.rawName, "c-\xD0\xBA\xD0\xB0\xD1\x82.txt");
            EXPECT_EQ(e.flags & 0x800, 0x800);
        }
    }
}

TEST_F(ZipWriterTest, SameNameInAnyCaseReplacesTheMember) {
    ASSERT_TRUE(fs::ForceDirectories(src + L"one"));
    ASSERT_TRUE(fs::ForceDirectories(src + L"two"));
    test::WriteAll(src + L"one\\Bericht.txt", "first");
    test::WriteAll(src + L"two\\BERICHT.TXT", "second");
    ZipArchiver z;
    z.FileName = arc;
    z.Options.StorePath = spNoPath;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"one\\Bericht.txt");
    z.AddFiles(src + L"two\\BERICHT.TXT");
    Reopen(z);
    ASSERT_EQ(z.Entries().size(), 1u);
    EXPECT_EQ(z.Entries()[0].name, L"BERICHT.TXT");
    EXPECT_EQ(ReadMember(z, 0), "second");
}

TEST_F(ZipWriterTest, PasswordEncryptsWithCrcCheckBytes) {
    std::string text(3000, 'p');
    Src(L"p.txt", text);
    ZipArchiver z;
    z.FileName = arc;
    z.Password = "geheim";
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"p.txt");
    z.CloseArchive();
    std::string bytes = test::ReadAll(arc);
    ASSERT_EQ(U16At(bytes, 6) & 1, 1u);
    uint32_t crc = test::Crc32(text);
    uint8_t header[12];
    std::copy(bytes.begin() + 30 + 5, bytes.begin() + 30 + 5 + 12, header);
    zip::PkwareCipher c;
    c.Init("geheim");
    c.Decrypt(header, 12);
    EXPECT_EQ(header[10], uint8_t(crc >> 16));
    EXPECT_EQ(header[11], uint8_t(crc >> 24));

    ZipArchiver r;
    r.FileName = arc;
    r.Password = "geheim";
    r.OpenArchive(fmOpenRead);
    // The recorded size covers the 12-byte header and the data up to the directory.
    EXPECT_EQ(r.Entries()[0].compressedSize, bytes.find(std::string("PK\x01\x02", 4)) - 35);
    EXPECT_EQ(ReadMember(r, 0), text);
}

TEST_F(ZipWriterTest, WritingAndAddingRefusedWhereNotAllowed) {
    ZipArchiver z;
    try {
        z.AddFiles(L"x");
        ADD_FAILURE();
    } catch (const EZipError& e) {
        EXPECT_EQ(e.message(), L"Archive is not open - Native error: 00013");
    }
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.CloseArchive();
    z.OpenArchive(fmOpenRead);
    try {
        z.AddFiles(src + L"*");
        ADD_FAILURE();
    } catch (const EZipError& e) {
        EXPECT_EQ(e.number(), zeReadOnlyArchive);
    }
}

#ifndef _WIN32
TEST_F(ZipWriterTest, FailureDialogRetryIgnoreAndAbortUndoing) {
    Src(L"a.txt", "aaa");
    Src(L"c.txt", "ccc");
    ASSERT_TRUE(MakeUnreadable(L"b.txt"));
    ZipArchiver z;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"a.txt");
    std::string before = test::ReadAll(arc);

    q.failures = {ZipQuestions::Answer::Retry, ZipQuestions::Answer::Abort};
    z.AddFiles(src + L"*.txt");
    ASSERT_EQ(q.failureMessages.size(), 2u);
    EXPECT_EQ(q.failureMessages[0], L"Cannot open file \"" + src + L"b.txt\" - Native error: 00033"
                                    L". File processing error, possibly disk is full");
    EXPECT_TRUE(q.failureRetryOffered[0]);
    EXPECT_EQ(test::ReadAll(arc), before);

    q.failures = {ZipQuestions::Answer::Ignore};
    z.AddFiles(src + L"*.txt");
    Reopen(z);
    std::vector<std::wstring> names;
    for (const ZipEntry& e : z.Entries()) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a.txt", L"c.txt"}));
    EXPECT_EQ(ReadMember(z, 1), "ccc");
}

// A source of 4 GiB or more needs Zip64, which the writer does not do: the
// file is put to the user (here: Ignore) and the others go in. The big file
// is sparse, so the test neither writes nor reads 4 GiB.
TEST_F(ZipWriterTest, FileOfFourGigabytesIsRefusedWithoutZip64) {
    Src(L"small.txt", "small");
    std::string big = fs::HostPath(src + L"big.bin");
    { std::ofstream(big, std::ios::binary); }
    std::error_code ec;
    std::filesystem::resize_file(big, uint64_t{0xFFFFFFFF}, ec);
    if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
    ZipArchiver z;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"*.*");
    z.CloseArchive();
    ASSERT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(q.failureMessages[0].rfind(L"Cannot compress file '", 0), 0u);
    EXPECT_NE(q.failureMessages[0].find(L"big.bin'. Zip64 mode is not enabled"), std::wstring::npos);
    ZipArchiver r;
    r.FileName = arc;
    r.OpenArchive(fmOpenRead);
    ASSERT_EQ(r.Entries().size(), 1u);
    EXPECT_EQ(r.Entries()[0].name, L"small.txt");
    std::filesystem::remove(big);
}

TEST_F(ZipWriterTest, OverlongSourcePathOffersNoRetry) {
    std::wstring deep = src + std::wstring(130, L'd') + L"\\" + std::wstring(130, L'e');
    ASSERT_TRUE(fs::ForceDirectories(deep));
    test::WriteAll(deep + L"\\f.txt", "x");
    ZipArchiver z;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(deep + L"\\f.txt");
    ASSERT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(q.failureMessages[0].rfind(L"File name is too long: \r\n\"", 0), 0u);
    EXPECT_FALSE(q.failureRetryOffered[0]);
}
#endif

// The zip writer object.
class ConsoleZipTest : public ZipWriterTest {
protected:
    TConsoleZipObject zipObj;
    std::vector<std::wstring> Names() {
        ZipArchiver r;
        r.FileName = arc;
        r.OpenArchive(fmOpenRead);
        std::vector<std::wstring> names;
        for (const ZipEntry& e : r.Entries()) names.push_back(e.name);
        return names;
    }
};

TEST_F(ConsoleZipTest, CompressionChoiceAndUnicodeField) {
    Src(L"ten.txt", "0123456789");
    for (int compression : {2, 3}) {
        ASSERT_TRUE(zipObj.Start(arc, compression));
        zipObj.AddFile(src + L"ten.txt");
        zipObj.Finish();
        EXPECT_TRUE(zipObj.Success);
        ZipArchiver r;
        r.FileName = arc;
        r.OpenArchive(fmOpenRead);
        ASSERT_EQ(r.Entries().size(), 1u);
        EXPECT_EQ(r.Entries()[0].name, L"ten.txt");
        EXPECT_EQ(r.Entries()[0].method, compression == 3 ? 0 : 8);
        ASSERT_EQ(r.Entries()[0].extras.size(), 1u);
        EXPECT_EQ(r.Entries()[0].extras[0].id, 0x554E);
        EXPECT_EQ(ReadMember(r, 0), "0123456789");
    }
}

TEST_F(ConsoleZipTest, MissingNamesAndEmptyMasksChangeNothing) {
    ASSERT_TRUE(zipObj.Start(arc, 0));
    zipObj.AddFile(src + L"nothing.txt");
    zipObj.AddFile(src + L"*.none");
    zipObj.Finish();
    EXPECT_TRUE(zipObj.Success);
    EXPECT_EQ(zipObj.FileAddError, L"");
    EXPECT_EQ(test::ReadAll(arc).size(), 22u);
}

TEST_F(ConsoleZipTest, FolderMaskSkipsTheArchiveItselfAndPasswordCountsPerAdd) {
    std::wstring inner = src + L"inner.zip";
    Src(L"one.txt", "1");
    Src(L"two.txt", "2");
    ASSERT_TRUE(zipObj.Start(inner, 0));
    zipObj.AddFile(src + L"one.txt");
    zipObj.SetPassword(L"pw");
    zipObj.AddFile(src + L"*");
    zipObj.Finish();
    EXPECT_TRUE(zipObj.Success);
    ZipArchiver r;
    r.FileName = inner;
    r.Password = "pw";
    r.OpenArchive(fmOpenRead);
    // one.txt was replaced by the second, encrypted add; inner.zip is absent.
    ASSERT_EQ(r.Entries().size(), 2u);
    EXPECT_EQ(r.Entries()[0].name, L"one.txt");
    EXPECT_EQ(r.Entries()[1].name, L"two.txt");
    EXPECT_EQ(r.Entries()[0].encryption, ZipEncryption::Pkware);
    EXPECT_EQ(r.Entries()[1].encryption, ZipEncryption::Pkware);
    EXPECT_EQ(ReadMember(r, 0), "1");
    EXPECT_EQ(ReadMember(r, 1), "2");
}

TEST_F(ConsoleZipTest, PasswordAppliesOnlyToLaterFiles) {
    Src(L"a.txt", "A");
    Src(L"b.txt", "B");
    ASSERT_TRUE(zipObj.Start(arc, 0));
    zipObj.AddFile(src + L"a.txt");
    zipObj.SetPassword(L"pw");
    zipObj.AddFile(src + L"b.txt");
    zipObj.Finish();
    ZipArchiver r;
    r.FileName = arc;
    r.OpenArchive(fmOpenRead);
    EXPECT_EQ(r.Entries()[0].encryption, ZipEncryption::None);
    EXPECT_EQ(r.Entries()[1].encryption, ZipEncryption::Pkware);
}

TEST_F(ConsoleZipTest, CallsAfterFinishFailAndRecordNames) {
    Src(L"a.txt", "A");
    Src(L"b.txt", "B");
    ASSERT_TRUE(zipObj.Start(arc, 0));
    zipObj.Finish();
    EXPECT_TRUE(zipObj.Success);
    zipObj.AddFile(src + L"a.txt");
    zipObj.AddFile(src + L"b.txt");
    EXPECT_FALSE(zipObj.Success);
    EXPECT_EQ(zipObj.FileAddError, src + L"a.txt " + src + L"b.txt ");
    // A new Start empties the record and redirects every object.
    TConsoleZipObject other;
    ASSERT_TRUE(other.Start(arc, 0));
    zipObj.AddFile(src + L"a.txt");
    other.Finish();
    EXPECT_EQ(Names(), std::vector<std::wstring>{L"a.txt"});
}

#ifndef _WIN32
TEST_F(ConsoleZipTest, UnreadableFileIgnoredLeavesArchiveAndSuccess) {
    Src(L"a.txt", "A");
    ASSERT_TRUE(MakeUnreadable(L"locked.txt"));
    ASSERT_TRUE(zipObj.Start(arc, 0));
    zipObj.AddFile(src + L"a.txt");
    std::string before = test::ReadAll(arc);
    zipObj.AddFile(src + L"locked.txt");
    EXPECT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(test::ReadAll(arc), before);
    EXPECT_TRUE(zipObj.Success);
    EXPECT_EQ(zipObj.FileAddError, L"");
    zipObj.Finish();
}
#endif

#ifdef _WIN32
// Windows refuses to delete a read-only file, and Start raises that (natively
// the tests run as a user whom nothing refuses). FIXME: the false answer with
// OpenExisting set is not checked: Wine run as root truncates read-only files.
TEST_F(ConsoleZipTest, ReadOnlyExistingArchiveRaisesTheDeleteFailure) {
    test::WriteAll(arc, "old");
    ASSERT_TRUE(fs::SetAttributes(arc, fs::kAttrReadOnly));
    EXPECT_THROW(zipObj.Start(arc, 0), AppError);
    EXPECT_EQ(test::ReadAll(arc), "old");
    EXPECT_TRUE(fs::SetAttributes(arc, 0));
}
#endif

}  // namespace
}  // namespace bv
