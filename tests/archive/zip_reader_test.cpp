// Reading archives: the directory, names, Zip64 fields, the scan of damaged
// files, member data checks and the errors with their numbers.
#include <gtest/gtest.h>

#include <functional>

#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "tests/archive/zip_test_util.h"

namespace bv {
namespace {

using test::BuildZip;
using test::FixtureMember;
using test::Le16;
using test::Le32;
using test::Le64;

struct Read {
    bool done = false;
    std::string data;
};

Read ReadMember(ZipArchiver& zip, size_t i) {
    Read r;
    r.done = zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
        r.data.append(reinterpret_cast<const char*>(p), n);
        return Result<void>();
    });
    return r;
}

int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EZipError& e) {
        return e.number();
    }
    return 0;
}

class ZipReaderTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    std::wstring path = dir / L"t.zip";
    ZipArchiver zip;

    void Open(const std::string& bytes) {
        test::WriteAll(path, bytes);
        zip.FileName = path;
        zip.OpenArchive(fmOpenRead);
    }
    int OpenError(const std::string& bytes) {
        test::WriteAll(path, bytes);
        zip.FileName = path;
        return ErrorOf([&] { zip.OpenArchive(fmOpenRead); });
    }
    std::vector<FixtureMember> TwoMembers() {
        FixtureMember a, b;
        a.name = "a.txt";
        a.plain = "alpha alpha alpha";
        b.name = "dir/b.bin";
        b.plain = std::string(5000, 'b') + "end";
        b.method = 8;
        return {a, b};
    }
    void ExpectTwoMembersReadable() {
        ASSERT_EQ(zip.Entries().size(), 2u);
        EXPECT_EQ(zip.Entries()[0].name, L"a.txt");
        EXPECT_EQ(zip.Entries()[1].name, L"dir/b.bin");
        EXPECT_EQ(ReadMember(zip, 0).data, "alpha alpha alpha");
        EXPECT_EQ(ReadMember(zip, 1).data, std::string(5000, 'b') + "end");
    }
};

TEST_F(ZipReaderTest, ReadsStoredAndDeflatedMembersWithComment) {
    Open(BuildZip(TwoMembers(), std::string(100, 'c')));
    EXPECT_FALSE(zip.WasScanned());
    EXPECT_EQ(zip.Comment(), std::string(100, 'c'));
    ExpectTwoMembersReadable();
}

// Damaged files that the scan of local headers still opens.
TEST_F(ZipReaderTest, DamagedDirectoriesAreRebuiltByTheScan) {
    std::string good = BuildZip(TwoMembers(), "hello");
    size_t dirOffset = good.find(std::string("PK\x01\x02", 4));
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"truncated directory", good.substr(0, dirOffset + 30)},
        {"comment length too long", good.substr(0, good.size() - 2)},
        {"comment length too short", good + "xy"},
        {"directory size past its start", [&] {
             std::string s = good;
             size_t end = s.size() - 5 - 22;
             s.replace(end + 12, 4, Le32(0x7FFFFFFF));
             return s;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZipArchiver z;
        test::WriteAll(path, c.bytes);
        z.FileName = path;
        z.OpenArchive(fmOpenRead);
        EXPECT_TRUE(z.WasScanned());
        ASSERT_EQ(z.Entries().size(), 2u);
        EXPECT_EQ(z.Entries()[1].name, L"dir/b.bin");
        EXPECT_EQ(ReadMember(z, 1).data, std::string(5000, 'b') + "end");
    }
}

TEST_F(ZipReaderTest, ForeignDataInFrontIsSkipped) {
    Open(std::string(1000, 'M') + BuildZip(TwoMembers()));
    EXPECT_FALSE(zip.WasScanned());
    ExpectTwoMembersReadable();
}

TEST_F(ZipReaderTest, OpenFailuresCarryTheirNumbers) {
    EXPECT_EQ(OpenError("this is no archive at all, just text"), zeInvalidArchive);
    EXPECT_EQ(OpenError(""), zeInvalidArchive);

    // A Zip64 locator that names no Zip64 end record.
    std::string good = BuildZip(TwoMembers());
    std::string locator = Le32(0x07064B50) + Le32(0) + Le64(3) + Le32(1);
    std::string withLocator = good.substr(0, good.size() - 22) + locator + good.substr(good.size() - 22);
    EXPECT_EQ(OpenError(withLocator), zeNoZip64End);

    zip.OpenCorruptedArchives = false;
    EXPECT_EQ(OpenError(good.substr(0, good.size() - 3)), zeDamaged);

    ZipArchiver missing;
    missing.FileName = dir / L"missing.zip";
    try {
        missing.OpenArchive(fmOpenRead);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EZipError& e) {
        EXPECT_EQ(e.number(), zeFileNotFound);
        EXPECT_EQ(e.message(), L"File \"" + missing.FileName + L"\" not found - Native error: 00012");
    }
    ZipArchiver blank;
    EXPECT_EQ(ErrorOf([&] { blank.OpenArchive(fmOpenRead); }), zeBlankFileName);
    EXPECT_EQ(ErrorOf([&] { blank.ExtractFiles(L"*"); }), zeNotOpen);
}

TEST_F(ZipReaderTest, NamesFollowFlagElevenOemCodePageAndUnicodeField) {
    FixtureMember utf8, oem, nu;
    utf8.name = "K\xC3\xA4se.txt";
    utf8.flags = 0x0800;
    oem.name = "K\x84se.txt";
    nu.name = "plain.txt";
    nu.extra = Le16(0x554E) + Le16(8 + 2 * 3) + "NUCX" + Le32(3) + std::string("\x3A\x04\x30\x04\x42\x04", 6);
    Open(BuildZip({utf8, oem, nu}));
    EXPECT_EQ(zip.Entries()[0].name, L"K\u00E4se.txt");
    EXPECT_EQ(zip.Entries()[1].name, L"K\u00E4se.txt");
    EXPECT_EQ(zip.Entries()[2].name, L"\u043A\u0430\u0442");
}

// Names as other tools write them: an OEM name whose characters the ANSI
// code page lacks keeps its OEM Unicode, and Info-ZIP's Unicode Path block
// (0x7075) gives the name when it is of version 1 and was written for the
// header's very name bytes.
TEST_F(ZipReaderTest, NamesFromOtherTools) {
    auto unicodePath = [](uint8_t version, uint32_t crc, const std::string& utf8) {
        std::string data = std::string(1, static_cast<char>(version)) + Le32(crc) + utf8;
        return Le16(0x7075) + Le16(static_cast<uint32_t>(data.size())) + data;
    };
    const std::string oemName = "K\xE0\xA4se.txt";  // "Kαñse.txt" in code page 437
    const std::string realName = "K\xCE\xB1\xC3\xB1se.txt";  // the same in UTF-8
    struct Case {
        const char* what;
        std::string raw;
        uint16_t flags;
        std::string extra;
        std::wstring expected;
    };
    const Case cases[] = {
        {"OEM name, all of it in ANSI", "K\xA4se.txt", 0, "", L"K\u00F1se.txt"},
        {"OEM name beyond ANSI", oemName, 0, "", L"K\u03B1\u00F1se.txt"},
        {"OEM box drawing", "\xC9\xCD\xBB.txt", 0, "", L"\u2554\u2550\u2557.txt"},
        {"Unicode Path", "K_se.txt", 0, unicodePath(1, test::Crc32("K_se.txt"), realName), L"K\u03B1\u00F1se.txt"},
        {"Unicode Path over an OEM name", oemName, 0, unicodePath(1, test::Crc32(oemName), "K\xC3\xA4se.txt"),
         L"K\u00E4se.txt"},
        {"Unicode Path for another name", "K_se.txt", 0, unicodePath(1, test::Crc32("Kase.txt"), realName), L"K_se.txt"},
        {"Unicode Path of another version", "K_se.txt", 0, unicodePath(2, test::Crc32("K_se.txt"), realName), L"K_se.txt"},
        {"Unicode Path not UTF-8", "K_se.txt", 0, unicodePath(1, test::Crc32("K_se.txt"), "K\xFFse.txt"), L"K_se.txt"},
        {"UTF-8 flag", realName, 0x0800, "", L"K\u03B1\u00F1se.txt"},
    };
    std::vector<FixtureMember> members;
    for (const Case& c : cases) {
        FixtureMember m;
        m.name = c.raw;
        m.flags = c.flags;
        m.extra = c.extra;
        m.plain = c.what;
        members.push_back(m);
    }
    Open(BuildZip(members));
    ASSERT_EQ(zip.Entries().size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(zip.Entries()[i].name, cases[i].expected);
    }
}

TEST_F(ZipReaderTest, Zip64FieldFillsOnlySaturatedSizes) {
    FixtureMember m;
    m.name = "big.txt";
    m.plain = "zip64 sized member";
    m.compressedSize = 0xFFFFFFFF;
    m.uncompressedSize = 0xFFFFFFFF;
    m.extra = Le16(1) + Le16(16) + Le64(m.plain.size()) + Le64(m.plain.size());
    FixtureMember first;
    first.name = "first.txt";
    first.plain = "x";
    Open(BuildZip({first, m}));
    const ZipEntry& e = zip.Entries()[1];
    EXPECT_EQ(e.compressedSize, m.plain.size());
    EXPECT_EQ(e.uncompressedSize, m.plain.size());
    EXPECT_EQ(e.localHeaderOffset, e.localHeaderOffset32);
    EXPECT_GT(e.localHeaderOffset, 0u);
    EXPECT_EQ(ReadMember(zip, 1).data, m.plain);
}

TEST_F(ZipReaderTest, MemberFailuresCarryTheirNumbers) {
    FixtureMember deflate64, ppmd, badCrc, lying, truncated, good;
    deflate64.name = "d64";
    deflate64.method = 9;
    deflate64.plain = "xxxx";
    ppmd.name = "m12";
    ppmd.method = 12;
    ppmd.plain = "xxxx";
    badCrc.name = "crc";
    badCrc.plain = "some data";
    badCrc.crc = 0x12345678;
    // Deflates to a megabyte but claims ten bytes.
    lying.name = "lying";
    lying.method = 8;
    lying.plain = std::string(1 << 20, 'z');
    lying.uncompressedSize = 10;
    truncated.name = "truncated";
    truncated.method = 8;
    truncated.plain = std::string(100000, 'q') + "tail";
    truncated.data = test::Deflate(std::string(100000, 'q') + "tail").substr(0, 40);
    good.name = "good";
    good.plain = "fine";
    Open(BuildZip({deflate64, ppmd, badCrc, lying, truncated, good}));
    EXPECT_EQ(ErrorOf([&] { ReadMember(zip, 0); }), zeDeflate64);
    EXPECT_EQ(ErrorOf([&] { ReadMember(zip, 1); }), zeBadData);
    EXPECT_EQ(ErrorOf([&] { ReadMember(zip, 2); }), zeBadData);
    size_t written = 0;
    EXPECT_EQ(ErrorOf([&] {
                  zip.ReadMemberData(3, [&](const uint8_t*, size_t n) {
                      written += n;
                      return Result<void>();
                  });
              }),
              zeBadData);
    EXPECT_LE(written, 10u);
    EXPECT_EQ(ErrorOf([&] { ReadMember(zip, 4); }), zeBadData);
    EXPECT_EQ(ReadMember(zip, 5).data, "fine");

    zip.ExtractCorruptedFiles = true;
    EXPECT_EQ(ReadMember(zip, 2).data, "some data");
}

// A traditionally encrypted member written with a data descriptor is tested
// against the high byte of its time field, not of its CRC.
TEST_F(ZipReaderTest, TraditionalPasswordCheckUsesTimeByteWithDescriptor) {
    test::ScriptedQuestions q;
    zip.Questions = &q;
    const std::string plain = "encrypted with a descriptor";
    FixtureMember m;
    m.name = "enc.txt";
    m.plain = plain;
    m.flags = 1;
    m.descriptor = true;
    m.time = 0xAB12;
    uint8_t random[10] = {0};
    uint8_t header[12];
    zip::PkwareCipher cipher;
    // Check byte = time's high byte; the CRC's high byte differs.
    cipher.MakeHeader("pw", 0xAB000000u | 0x00CD0000u, random, header);
    std::string data = plain;
    cipher.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    m.data = std::string(reinterpret_cast<char*>(header), 12) + data;
    m.compressedSize = static_cast<uint32_t>(m.data->size());
    ASSERT_NE(test::Crc32(plain) >> 24, 0xABu);
    Open(BuildZip({m}));
    q.passwords = {L"wrong", L"pw"};
    Read r = ReadMember(zip, 0);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.data, plain);
    EXPECT_EQ(q.passwordAsks.size(), 2u);
    // Afterwards the scan (no directory) finds the same member by its descriptor.
    std::string bytes = BuildZip({m});
    ZipArchiver scanned;
    scanned.Questions = &q;
    scanned.Password = "pw";
    test::WriteAll(path, bytes.substr(0, bytes.find(std::string("PK\x01\x02", 4))));
    scanned.FileName = path;
    scanned.OpenArchive(fmOpenRead);
    ASSERT_TRUE(scanned.WasScanned());
    ASSERT_EQ(scanned.Entries().size(), 1u);
    EXPECT_EQ(scanned.Entries()[0].compressedSize, m.data->size());
    EXPECT_EQ(ReadMember(scanned, 0).data, plain);
}

TEST_F(ZipReaderTest, CancelAtThePasswordPromptSkipsTheMember) {
    test::ScriptedQuestions q;
    zip.Questions = &q;
    FixtureMember m;
    m.name = "enc.txt";
    m.plain = "secret";
    m.flags = 1;
    uint8_t random[10] = {0}, header[12];
    zip::PkwareCipher cipher;
    cipher.MakeHeader("right", test::Crc32(m.plain), random, header);
    std::string data = m.plain;
    cipher.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    m.data = std::string(reinterpret_cast<char*>(header), 12) + data;
    Open(BuildZip({m}));
    Read r = ReadMember(zip, 0);
    EXPECT_FALSE(r.done);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(q.passwordAsks, std::vector<std::wstring>{L"enc.txt"});
}

}  // namespace
}  // namespace bv
