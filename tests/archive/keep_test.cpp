// A member that is not extracted never costs the file it would replace: over
// existing files (plain and read-only), a wrong or missing password, a check
// failure and a cancel leave the old file byte for byte, with its attributes
// and date, through the component on one or more threads and through bvzip;
// a member that succeeds replaces it. The wizard's start-up extraction says
// which file it kept.
#include <gtest/gtest.h>

#include "archive/unzip.h"
#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/archive/zip_test_util.h"
#include "util/log.h"
#include "util/strings.h"

#ifndef BVZIP_PATH
#error "BVZIP_PATH names the bvzip program"
#endif

namespace bv {
namespace {

using test::FixtureMember;

std::string Text(size_t n, unsigned salt) {
    std::string s;
    uint32_t x = salt;
    while (s.size() < n) {
        x = x * 1664525u + 1013904223u;
        s += "cow " + std::to_string(x % 9973) + ((x >> 13) % 7 == 0 ? "\n" : " ");
    }
    s.resize(n);
    return s;
}

FixtureMember Plain(const std::string& name, const std::string& plain, uint16_t method = 8) {
    FixtureMember m;
    m.name = name;
    m.plain = plain;
    m.method = method;
    // 2021-03-04 05:06:14, another date than any file of the test has.
    m.date = static_cast<uint16_t>(((2021 - 1980) << 9) | (3 << 5) | 4);
    m.time = static_cast<uint16_t>((5 << 11) | (6 << 5) | 7);
    return m;
}

FixtureMember Encrypted(const std::string& name, const std::string& plain, const std::string& password) {
    FixtureMember m = Plain(name, plain, 0);
    m.flags = 1;
    uint8_t random[10] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8}, header[12];
    zip::PkwareCipher cipher;
    cipher.MakeHeader(password, test::Crc32(plain), random, header);
    std::string data = plain;
    cipher.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    m.data = std::string(reinterpret_cast<char*>(header), 12) + data;
    return m;
}

struct KeepCase {
    const char* what;
    FixtureMember member;  // named "target.txt"
    std::string password;  // given before extracting
    std::vector<Answer> failures;  // the answers to the failure question
    bool replaced;
    bool viaBvzip;  // bvzip can do the same (it answers Cancel and Ignore)
};

std::vector<KeepCase> KeepCases() {
    const std::string fresh = Text(1500000, 11);  // many blocks through the workers
    FixtureMember badCrc = Plain("target.txt", fresh);
    badCrc.crc = 0x0BADC0DE;
    FixtureMember readOnly = Plain("target.txt", "the member's bytes\n", 0);
    readOnly.attributes = 0x21;
    return {
        {"wrong password", Encrypted("target.txt", "secret bytes\n", "right"), "wrong", {}, false, true},
        {"missing password", Encrypted("target.txt", "secret bytes\n", "right"), "", {}, false, true},
        {"check failure", badCrc, "", {Answer::Ignore}, false, true},
        {"check failure retried", badCrc, "", {Answer::Retry, Answer::Ignore}, false, false},
        {"cancelled", badCrc, "", {Answer::Abort}, false, false},
        {"success", Plain("target.txt", fresh), "", {}, true, true},
        {"success, read-only member", readOnly, "", {}, true, true},
        {"success with the password", Encrypted("target.txt", "secret bytes\n", "right"), "right", {}, true, true},
    };
}

class KeepTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    const std::string old = "the operator's own file\r\n";
    const std::string other = "another member\n";

    // `folder` holds target.txt as the operator left it (read-only or not);
    // answers what was there.
    fs::FileInfo PlaceOld(const std::wstring& folder, bool readOnly) {
        EXPECT_TRUE(fs::ForceDirectories(folder));
        test::WriteAll(folder + L"target.txt", old);
        if (readOnly) {
            EXPECT_TRUE(fs::SetAttributes(folder + L"target.txt", fs::kAttrReadOnly));
        }
        return fs::Stat(folder + L"target.txt");
    }

    void ExpectOutcome(const KeepCase& c, const std::wstring& folder, bool readOnly, const fs::FileInfo& before) {
        const std::wstring target = folder + L"target.txt";
        // The other member came out, and nothing else is left: no partial file.
        EXPECT_EQ(test::Listing(folder), (std::vector<std::wstring>{L"other.txt", L"target.txt"}));
        EXPECT_EQ(test::ReadAll(folder + L"other.txt"), other);
        Result<uint32_t> attributes = fs::GetAttributes(target);
        ASSERT_TRUE(attributes);
        if (!c.replaced) {
            EXPECT_TRUE(test::ReadAll(target) == old);
            EXPECT_EQ((attributes.value() & fs::kAttrReadOnly) != 0, readOnly);
            fs::FileInfo after = fs::Stat(target);
            EXPECT_EQ(after.writeTime, before.writeTime);
            return;
        }
        EXPECT_TRUE(test::ReadAll(target) == c.member.plain);
        EXPECT_EQ((attributes.value() & fs::kAttrReadOnly) != 0, (c.member.attributes & fs::kAttrReadOnly) != 0);
        Result<uint32_t> dos = fs::GetDosTime(target);
        ASSERT_TRUE(dos);
        EXPECT_EQ(dos.value(), (uint32_t(c.member.date) << 16) | c.member.time);
    }
};

TEST_F(KeepTest, FailedMembersLeaveTheOldFileAndGoodOnesReplaceIt) {
    int n = 0;
    for (const KeepCase& c : KeepCases()) {
        SCOPED_TRACE(c.what);
        const std::wstring archive = dir / (L"case" + std::to_wstring(n++) + L".zip");
        test::WriteAll(archive, test::BuildZip({Plain("other.txt", other), c.member}));
        for (bool readOnly : {false, true}) {
            SCOPED_TRACE(readOnly ? "read-only old file" : "plain old file");
            // The component, on one thread and with workers unpacking ahead.
            for (unsigned threads : {1u, 2u}) {
                SCOPED_TRACE(threads);
                const std::wstring folder = dir / (L"c" + std::to_wstring(n) + (readOnly ? L"r" : L"p") +
                                                   std::to_wstring(threads) + L"\\");
                const fs::FileInfo before = PlaceOld(folder, readOnly);
                test::ScriptedQuestions q;
                q.failures = c.failures;
                ZipArchiver zip;
                zip.Questions = &q;
                zip.FileName = archive;
                zip.Password = c.password;
                zip.Threads = threads;
                zip.BaseDir = folder;
                zip.OpenArchive(fmOpenRead);
                zip.ExtractFiles(L"*");
                zip.CloseArchive();
                EXPECT_EQ(q.failureMessages.size(), c.failures.size());
                EXPECT_EQ(q.passwordAsks.size(), c.member.flags & 1 && !c.replaced ? 1u : 0u);
                ExpectOutcome(c, folder, readOnly, before);
            }
            if (!c.viaBvzip) continue;
            const std::wstring name = L"b" + std::to_wstring(n) + (readOnly ? L"r" : L"p");
            const std::wstring folder = dir / (name + L"\\");
            const fs::FileInfo before = PlaceOld(folder, readOnly);
            std::vector<std::wstring> args = {L"x", L"-d", test::ArgPath(dir, name)};
            if (!c.password.empty()) args.insert(args.end(), {L"-p", os::FromUtf8(c.password)});
            args.push_back(test::ArgPath(dir, NameOf(archive)));
            std::string out;
            EXPECT_EQ(test::RunProgram(BVZIP_PATH, args, dir, out), c.replaced ? 0 : 1) << out;
            ExpectOutcome(c, folder, readOnly, before);
        }
    }
}

#ifdef _WIN32
// Names ignore letter case on Windows: a member replaces the file of its
// name in another case, and the file then has the member's spelling, as a
// file made anew would.
TEST_F(KeepTest, AReplacedFileTakesTheMembersSpelling) {
    const std::wstring folder = dir / L"lang\\";
    ASSERT_TRUE(fs::ForceDirectories(folder));
    test::WriteAll(folder + L"bvlang.ita", "downloaded");
    test::WriteAll(dir / L"l.zip", test::BuildZip({Plain("BVLANG.ITA", "from the archive")}));
    test::ScriptedQuestions q;
    ZipArchiver zip;
    zip.Questions = &q;
    zip.FileName = dir / L"l.zip";
    zip.BaseDir = folder;
    zip.OpenArchive(fmOpenRead);
    zip.ExtractFiles(L"*");
    EXPECT_TRUE(q.failureMessages.empty());
    EXPECT_EQ(test::Listing(folder), std::vector<std::wstring>{L"BVLANG.ITA"});
    EXPECT_EQ(test::ReadAll(folder + L"BVLANG.ITA"), "from the archive");
}
#endif

// The wizard over an existing installation: a damaged start-up member
// keeps the operator's file, and the problem says which file was kept.
TEST_F(KeepTest, WizardKeepsTheOperatorsFileAndSaysSo) {
    const std::wstring folder = dir / L"BV500\\";
    ASSERT_TRUE(fs::ForceDirectories(folder));
    FixtureMember worklist = Plain("worklist.lst", Text(400000, 3));
    worklist.crc = 0x12345678;
    test::WriteAll(folder + L"BaseFiles.zip",
                   test::BuildZip({worklist, Plain("FLYTABLE.BVG", "table"), Plain("TrimTool.exe", "tool")}));
    test::WriteAll(folder + L"worklist.lst", "the herd's own work list\r\n");
    dir.Enter();
    ResetLogForTesting();
    DeepLogging = true;
    test::ScriptedQuestions q;
    std::vector<Error> problems = UnzipExtraBaseFiles(folder, L"basefiles.zip", q);
    DeepLogging = false;
    std::string log = test::ReadAll(dir / LogFileName());
    ResetLogForTesting();
    EXPECT_EQ(test::ReadAll(folder + L"worklist.lst"), "the herd's own work list\r\n");
    EXPECT_EQ(test::ReadAll(folder + L"FLYTABLE.BVG"), "table");
    EXPECT_EQ(test::ReadAll(folder + L"TrimTool.exe"), "tool");
    ASSERT_EQ(problems.size(), 1u);
    const std::wstring kept = L"; the existing file " + folder + L"worklist.lst was kept";
    EXPECT_EQ(problems[0].detail.find(L"start-up file worklist.lst: Invalid size or check sum"), 0u)
        << os::ToUtf8(problems[0].detail);
    EXPECT_NE(problems[0].detail.find(kept), std::wstring::npos) << os::ToUtf8(problems[0].detail);
    EXPECT_NE(log.find("UnzipExtraBaseFiles problem: start-up file worklist.lst: Invalid size"), std::string::npos);
    EXPECT_NE(log.find(os::ToUtf8(kept)), std::string::npos) << log;
    // Without a file there before, none is said to be kept.
    (void)fs::RemoveFile(folder + L"worklist.lst");
    problems = UnzipExtraBaseFiles(folder, L"basefiles.zip", q);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].detail.find(L"was kept"), std::wstring::npos);
    EXPECT_FALSE(fs::FileExists(folder + L"worklist.lst"));
    EXPECT_EQ(test::Listing(folder), (std::vector<std::wstring>{L"BaseFiles.zip", L"FLYTABLE.BVG", L"TrimTool.exe"}));
}

}  // namespace
}  // namespace bv
