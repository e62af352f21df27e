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
#include "platform/fs.h"
#include "platform/os.h"
#include "util/error.h"
#include "tests/archive/zip_test_util.h"

namespace bv {
namespace {

std::string ReadMember(ZipArchiver& zip, size_t i) {
    std::string out;
    zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
        out.append(reinterpret_cast<const char*>(p), n);
        return Result<void>();
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
    z.Questions = &q;
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
        z.Questions = &q;
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
    z.Questions = &q;
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
    z.Questions = &q;
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
    z.Questions = &q;
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
    r.Questions = &q;
    r.FileName = arc;
    r.Password = "geheim";
    r.OpenArchive(fmOpenRead);
    // The recorded size covers the 12-byte header and the data up to the directory.
    EXPECT_EQ(r.Entries()[0].compressedSize, bytes.find(std::string("PK\x01\x02", 4)) - 35);
    EXPECT_EQ(ReadMember(r, 0), text);
}

TEST_F(ZipWriterTest, WritingAndAddingRefusedWhereNotAllowed) {
    ZipArchiver z;
    z.Questions = &q;
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
    z.Questions = &q;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"a.txt");
    std::string before = test::ReadAll(arc);

    q.failures = {Answer::Retry, Answer::Abort};
    z.AddFiles(src + L"*.txt");
    ASSERT_EQ(q.failureMessages.size(), 2u);
    EXPECT_EQ(q.failureMessages[0], L"Cannot open file \"" + src + L"b.txt\" - Native error: 00033"
                                    L". File processing error, possibly disk is full");
    EXPECT_TRUE(q.failureRetryOffered[0]);
    EXPECT_EQ(test::ReadAll(arc), before);

    q.failures = {Answer::Ignore};
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
    z.Questions = &q;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(src + L"*.*");
    z.CloseArchive();
    ASSERT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(q.failureMessages[0].rfind(L"Cannot compress file '", 0), 0u);
    EXPECT_NE(q.failureMessages[0].find(L"big.bin'. Zip64 mode is not enabled"), std::wstring::npos);
    ZipArchiver r;
    r.Questions = &q;
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
    z.Questions = &q;
    z.FileName = arc;
    z.OpenArchive(fmCreate);
    z.AddFiles(deep + L"\\f.txt");
    ASSERT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(q.failureMessages[0].rfind(L"File name is too long: \r\n\"", 0), 0u);
    EXPECT_FALSE(q.failureRetryOffered[0]);
}
#endif

// Members compressed on several threads: the archive is the same, byte for
// byte, as the one written on one thread, for every level and password and
// for mixes with folders, empty members, members deflated in pieces and one
// member much larger than the rest.
class ParallelZipTest : public ZipWriterTest {
protected:
    // The bytes of an archive of `mask` written on `threads` threads, with
    // encryption headers from a repeatable source.
    std::string Build(unsigned threads, TCompressionLevel level, const std::string& password,
                      const std::wstring& mask) {
        ZipArchiver z;
        z.Questions = &q;
        z.FileName = arc;
        z.CompressionLevel = level;
        z.Password = password;
        z.Threads = threads;
        uint32_t seed = 12345;
        z.RandomSource = [&seed](uint8_t* out, size_t n) {
            for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
            return true;
        };
        z.OpenArchive(fmCreate);
        z.AddFiles(mask);
        z.CloseArchive();
        return test::ReadAll(arc);
    }
    static std::string Text(size_t n, unsigned salt) {
        std::string s;
        uint32_t x = salt;
        while (s.size() < n) {
            x = x * 1664525u + 1013904223u;
            s += "word" + std::to_string(x % 977) + ((x >> 12) % 9 == 0 ? "\n" : " ");
        }
        s.resize(n);
        return s;
    }
};

TEST_F(ParallelZipTest, ArchiveIsTheSameOnAnyNumberOfThreads) {
    // Many small members with empty ones and a folder among them.
    ASSERT_TRUE(fs::ForceDirectories(src + L"mix\\sub"));
    for (int i = 0; i < 40; ++i)
        test::WriteAll(src + L"mix\\f" + std::to_wstring(i) + L".txt", i % 7 == 3 ? "" : Text(100 + 997 * i, i));
    test::WriteAll(src + L"mix\\sub\\inner.txt", Text(50000, 99));
    // A member deflated in pieces, which threads may share, among others.
    ASSERT_TRUE(fs::ForceDirectories(src + L"pieces"));
    for (int i = 0; i < 6; ++i) test::WriteAll(src + L"pieces\\s" + std::to_wstring(i) + L".txt", Text(2000 + i, 300 + i));
    {
        // Text with stretches of random bytes, the last at its very end:
        // those are stored, and the members after it are deflated again.
        std::string mixed = Text(1u << 20, 98);
        uint32_t x = 7;
        auto noise = [&](size_t n) {
            for (size_t i = 0; i < n; ++i) mixed += static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
        };
        noise(600000);
        mixed += Text(500000, 97);
        noise(300000);
        test::WriteAll(src + L"pieces\\p.txt", mixed);
    }
    // One member much larger than the others.
    ASSERT_TRUE(fs::ForceDirectories(src + L"big"));
    for (int i = 0; i < 6; ++i) test::WriteAll(src + L"big\\s" + std::to_wstring(i) + L".txt", Text(3000 + i, 500 + i));
    test::WriteAll(src + L"big\\huge.txt", Text((16u << 20) + 4096, 7));
    struct Case {
        std::wstring mask;
        TCompressionLevel level;
        std::string password;
    } cases[] = {
        {src + L"mix\\*", clNone, ""},       {src + L"mix\\*", clFastest, ""},
        {src + L"mix\\*", clNormal, ""},     {src + L"mix\\*", clMax, ""},
        {src + L"mix\\*", clNormal, "pw"},   {src + L"mix\\*", clMax, "secret"},
        {src + L"pieces\\*", clNormal, ""}, {src + L"pieces\\*", clMax, "pw"},
        {src + L"pieces\\p.txt", clNormal, ""},  // alone: its pieces still go to the threads
        {src + L"big\\*", clFastest, ""},    {src + L"big\\*", clFastest, "pw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(os::ToUtf8(c.mask) + " level " + std::to_string(c.level) + " password " + c.password);
        std::string one = Build(1, c.level, c.password, c.mask);
        for (unsigned threads : {2u, 4u}) EXPECT_TRUE(Build(threads, c.level, c.password, c.mask) == one) << threads;
        // And it reads back.
        ZipArchiver r;
        r.Questions = &q;
        r.FileName = arc;
        r.Password = c.password;
        r.OpenArchive(fmOpenRead);
        EXPECT_GE(r.Entries().size(), c.mask.back() == L'*' ? 7u : 1u);
        for (size_t i = 0; i < r.Entries().size(); ++i) {
            const ZipEntry& e = r.Entries()[i];
            if (e.IsDirectory()) continue;
            EXPECT_EQ(ReadMember(r, i).size(), e.uncompressedSize);
            // Text is deflated, after a piece that ended with stored data too.
            if (c.level != clNone && e.name.find(L"/s") != std::wstring::npos)
                EXPECT_LT(e.compressedSize, e.uncompressedSize * 3 / 4) << os::ToUtf8(e.name);
        }
    }
}

TEST_F(ParallelZipTest, FailuresComeInOrderAndAbortUndoesOnAnyNumberOfThreads) {
    for (int i = 0; i < 12; ++i)
        if (i != 3 && i != 7) Src(L"f" + std::to_wstring(10 + i) + L".txt", Text(5000 + i, i));
    if (!MakeUnreadable(L"f13.txt") || !MakeUnreadable(L"f17.txt")) GTEST_SKIP() << "no unreadable files here";
    std::string expected;
    std::vector<std::wstring> expectedMessages;
    for (unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        q.failureMessages.clear();
        q.failures = {Answer::Ignore, Answer::Ignore};
        std::string bytes = Build(threads, clNormal, "", src + L"f*.txt");
        if (threads == 1) {
            expected = bytes;
            expectedMessages = q.failureMessages;
            ASSERT_EQ(expectedMessages.size(), 2u);
            EXPECT_NE(expectedMessages[0].find(L"f13.txt"), std::wstring::npos);
            EXPECT_NE(expectedMessages[1].find(L"f17.txt"), std::wstring::npos);
        }
        EXPECT_TRUE(bytes == expected);
        EXPECT_EQ(q.failureMessages, expectedMessages);
    }
    // Abort at the second failure leaves the archive as before the call.
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        q.failures = {Answer::Ignore, Answer::Abort};
        ZipArchiver z;
        z.Questions = &q;
        z.FileName = arc;
        z.Threads = threads;
        z.OpenArchive(fmCreate);
        z.AddFiles(src + L"f10.txt");
        std::string before = test::ReadAll(arc);
        z.AddFiles(src + L"f*.txt");
        EXPECT_TRUE(test::ReadAll(arc) == before);
    }
}

// An update adds any number of masks and writes one directory, at its end.
TEST_F(ParallelZipTest, UpdateWritesOneDirectoryAtItsEnd) {
    Src(L"a.txt", Text(3000, 1));
    Src(L"b.txt", Text(4000, 2));
    Src(L"c.dat", Text(5000, 3));
    std::string whole = Build(1, clNormal, "", src + L"*");
    ZipArchiver z;
    z.Questions = &q;
    z.FileName = arc;
    z.CompressionLevel = clNormal;
    z.OpenArchive(fmCreate);
    z.BeginUpdate();
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.dat"}) {
        z.AddFiles(src + name);
        // No end record yet: the members alone.
        EXPECT_EQ(test::ReadAll(arc).find(std::string("PK\x05\x06", 4)), std::string::npos);
    }
    z.EndUpdate();
    std::string bytes = test::ReadAll(arc);
    z.CloseArchive();
    EXPECT_TRUE(bytes == whole);
    Reopen(z);
    ASSERT_EQ(z.Entries().size(), 3u);
    EXPECT_EQ(ReadMember(z, 2), Text(5000, 3));
}

// Extraction on several threads leaves the same files and puts the same
// questions and failures, in the same order, as on one thread.
TEST_F(ParallelZipTest, ExtractionFailsTheSameWayOnAnyNumberOfThreads) {
    class Recorder : public Questions {
    public:
        std::vector<std::wstring> events;
        void ShowMessage(const std::wstring& text) override { events.push_back(text); }
        void ShowError(const std::wstring& text) override { events.push_back(text); }
        Answer AskPassword(const std::wstring& member, std::wstring&) override {
            events.push_back(L"password? " + member);
            return Answer::Cancel;
        }
        Answer AskFailure(const std::wstring& message, bool) override {
            events.push_back(message);
            return Answer::Ignore;
        }
    };
    std::vector<test::FixtureMember> members;
    auto add = [&](const std::string& name, const std::string& plain) {
        test::FixtureMember m;
        m.name = name;
        m.plain = plain;
        m.method = 8;
        members.push_back(m);
        return &members.back();
    };
    add("a.txt", Text(20000, 1));
    add("b.txt", Text(30000, 2))->crc = 0x12345678;  // a CRC error
    add("../evil.txt", "x");                        // an unsafe name
    add("c/d.txt", Text(40000, 3));
    {
        // Encrypted with another password than the one given.
        test::FixtureMember* m = add("p.txt", Text(5000, 4));
        zip::PkwareCipher cipher;
        uint8_t random[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, header[12];
        cipher.MakeHeader("other", test::Crc32(m->plain), random, header);
        std::string body = test::Deflate(m->plain);
        cipher.Encrypt(reinterpret_cast<uint8_t*>(body.data()), body.size());
        m->flags = 1;
        m->data = std::string(reinterpret_cast<char*>(header), 12) + body;
    }
    add("e.txt", "");
    add("f.txt", Text(70000, 5));
    // Members of many blocks, streamed to the writer while they inflate: a
    // CRC error found at the end of one (what was written of it is thrown
    // away), and a stored one.
    add("g.txt", Text(1500000, 6))->crc = 0x0BADC0DE;
    add("h.bin", Text(900000, 7))->method = 0;
    add("i.txt", Text(1200000, 8));
    test::WriteAll(arc, test::BuildZip(members));

    std::vector<std::wstring> expectedEvents;
    for (unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        Recorder rec;
        ZipArchiver z;
        z.Questions = &rec;
        z.FileName = arc;
        z.Password = "pw";
        z.Threads = threads;
        z.BaseDir = dir / (L"out" + std::to_wstring(threads) + L"\\");
        z.OpenArchive(fmOpenRead);
        z.ExtractFiles(L"*");
        if (threads == 1) {
            expectedEvents = rec.events;
            ASSERT_EQ(expectedEvents.size(), 4u);
            EXPECT_NE(expectedEvents[0].find(L"check sum"), std::wstring::npos);
            EXPECT_NE(expectedEvents[1].find(L"evil.txt"), std::wstring::npos);
            EXPECT_EQ(expectedEvents[2], L"password? p.txt");
            EXPECT_NE(expectedEvents[3].find(L"check sum"), std::wstring::npos);
        }
        EXPECT_EQ(rec.events, expectedEvents);
        EXPECT_EQ(test::ReadAll(z.BaseDir + L"a.txt"), Text(20000, 1));
        EXPECT_EQ(test::ReadAll(z.BaseDir + L"c\\d.txt"), Text(40000, 3));
        EXPECT_EQ(test::ReadAll(z.BaseDir + L"f.txt"), Text(70000, 5));
        EXPECT_TRUE(test::ReadAll(z.BaseDir + L"h.bin") == Text(900000, 7));
        EXPECT_TRUE(test::ReadAll(z.BaseDir + L"i.txt") == Text(1200000, 8));
        EXPECT_TRUE(fs::FileExists(z.BaseDir + L"e.txt"));
        EXPECT_FALSE(fs::FileExists(z.BaseDir + L"b.txt"));
        EXPECT_FALSE(fs::FileExists(z.BaseDir + L"g.txt"));
        EXPECT_FALSE(fs::FileExists(z.BaseDir + L"p.txt"));
    }
}

// A member larger than all the workers may hold ahead of the writer, between
// members that fill that room: it still goes through, on any number of
// threads, and the files are those of one thread.
TEST_F(ParallelZipTest, ExtractionStreamsMembersLargerThanTheWorkersHold) {
    std::vector<test::FixtureMember> members;
    std::vector<std::string> plains;
    // The room is 32 MiB: the second member is larger, and the two after it
    // fill the room while the writer is still at it.
    for (size_t size : {size_t{3000}, size_t{(33u << 20) + 12345}, size_t{18u << 20}, size_t{(18u << 20) + 7},
                        size_t{700}}) {
        test::FixtureMember m;
        m.name = "m" + std::to_string(members.size()) + ".txt";
        const std::string piece = Text(std::min<size_t>(size, 65536), static_cast<unsigned>(size));
        while (m.plain.size() < size) m.plain += piece;
        m.plain.resize(size);
        m.method = 8;
        plains.push_back(m.plain);
        members.push_back(std::move(m));
    }
    test::WriteAll(arc, test::BuildZip(members));
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        ZipArchiver z;
        z.Questions = &q;
        z.FileName = arc;
        z.Threads = threads;
        z.BaseDir = dir / (L"big" + std::to_wstring(threads) + L"\\");
        z.OpenArchive(fmOpenRead);
        z.ExtractFiles(L"*");
        for (size_t i = 0; i < plains.size(); ++i)
            EXPECT_TRUE(test::ReadAll(z.BaseDir + L"m" + std::to_wstring(i) + L".txt") == plains[i]) << i;
    }
    EXPECT_TRUE(q.failureMessages.empty());
}

// The zip writer object.
class ConsoleZipTest : public ZipWriterTest {
protected:
    ConsoleZipTest() { zipObj.Questions = &q; }
    TConsoleZipObject zipObj;
    std::vector<std::wstring> Names() {
        ZipArchiver r;
        r.Questions = &q;
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
        r.Questions = &q;
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
    r.Questions = &q;
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
    r.Questions = &q;
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
    other.Questions = &q;
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
