// Unzip: path rule, masks and their matching, member extraction (folders,
// read-only targets, attributes, dates), the password prompt, the failure
// dialog, unsafe member names, the log line and the start-up member table.
#include <gtest/gtest.h>

#include "archive/unzip.h"
#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "platform/fs.h"
#include "util/log.h"
#include "platform/os.h"
#include "tests/archive/zip_test_util.h"

namespace bv {
namespace {

std::string os_utf8(const std::wstring& s) { return os::ToUtf8(s); }

using test::FixtureMember;

FixtureMember Member(const std::string& name, const std::string& plain, uint16_t method = 8) {
    FixtureMember m;
    m.name = name;
    m.plain = plain;
    m.method = method;
    return m;
}

FixtureMember Encrypted(const std::string& name, const std::string& plain, const std::string& pw) {
    FixtureMember m = Member(name, plain, 0);
    m.flags = 1;
    uint8_t random[10] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3}, header[12];
    zip::PkwareCipher c;
    c.MakeHeader(pw, test::Crc32(plain), random, header);
    std::string data = plain;
    c.Encrypt(reinterpret_cast<uint8_t*>(data.data()), data.size());
    m.data = std::string(reinterpret_cast<char*>(header), 12) + data;
    return m;
}

class UnzipTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    std::wstring arc = dir / L"data.zip";
    std::wstring out = dir / L"out\\";
    test::ScriptedQuestions q;

    void Make(const std::vector<FixtureMember>& members) { test::WriteAll(arc, test::BuildZip(members)); }
    bool Has(const std::wstring& path) { return fs::FileExists(path); }
};

TEST(MaskMatchTest, Cases) {
    struct Case {
        const wchar_t* mask;
        const wchar_t* name;
        bool match;
    } cases[] = {
        {L"worklist.lst", L"worklist.lst", true},
        {L"worklist.lst", L"WORKLIST.LST", true},
        {L"worklist.lst", L"sub/WorkList.lst", true},
        {L"worklist.lst", L"worklist.lst.bak", false},
        {L"*.*", L"readme", true},
        {L"*", L"a/b/c.txt", true},
        {L"readme.", L"readme", true},
        {L"readme.", L"readme.txt", false},
        {L"*.txt", L"deep/down/x.TXT", true},
        {L"sub\\*.txt", L"sub/x.txt", true},
        {L"C:\\sub\\x.txt", L"sub/x.txt", true},
        {L"?.txt", L"ab.txt", false},
        {L"?.txt", L"a.txt", true},
        {L"", L"a.txt", false},
        {L"dir", L"dir/", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MemberMatchesMask(c.mask, c.name), c.match) << "mask " << os_utf8(c.mask);
}

TEST_F(UnzipTest, ExtractsMatchingMembersIntoFoldersAndMissingOnesAreNoFailure) {
    Make({Member("worklist.lst", "root"), Member("sub/WorkList.lst", "sub"), Member("other.txt", "o"),
          Member("emptydir/", "", 0)});
    EXPECT_TRUE(Unzip(L"", arc, out, L"worklist.lst", q));
    EXPECT_EQ(test::ReadAll(out + L"worklist.lst"), "root");
    EXPECT_EQ(test::ReadAll(out + L"sub\\WorkList.lst"), "sub");
    EXPECT_FALSE(Has(out + L"other.txt"));
    EXPECT_TRUE(Unzip(L"", arc, out, L"nothing.here", q));
    EXPECT_TRUE(Unzip(L"", arc, out, L"*.*", q));
    EXPECT_TRUE(Has(out + L"other.txt"));
    EXPECT_TRUE(fs::DirectoryExists(out + L"emptydir"));
    EXPECT_FALSE(Unzip(L"", dir / L"missing.zip", out, L"*", q));
}

TEST_F(UnzipTest, BareArchiveNameUsesCurrentDirectoryAndItsFolder) {
    Make({Member("a.txt", "A")});
    dir.Enter();
    EXPECT_TRUE(Unzip(L"", L"data.zip", L"", L"a.txt", q));
    EXPECT_EQ(test::ReadAll(dir / L"a.txt"), "A");
}

TEST_F(UnzipTest, MaskListExtractsEachFieldInTurn) {
    Make({Member("a.txt", "A"), Member("b.txt", "B"), Member("c.txt", "C")});
    EXPECT_TRUE(Unzip(L"", arc, out, L"a.txt||b.txt", q));
    EXPECT_TRUE(Has(out + L"a.txt"));
    EXPECT_TRUE(Has(out + L"b.txt"));
    EXPECT_FALSE(Has(out + L"c.txt"));
}

TEST_F(UnzipTest, ReadOnlyTargetIsReplacedAndGetsStoredAttributesAndDate) {
    FixtureMember m = Member("ro.txt", "new content");
    m.attributes = 0x21;  // read-only + archive
    m.date = (uint16_t)(((2020 - 1980) << 9) | (6 << 5) | 15);
    m.time = (uint16_t)((10 << 11) | (30 << 5) | 5);
    Make({m});
    ASSERT_TRUE(fs::ForceDirectories(out));
    test::WriteAll(out + L"ro.txt", "old");
    ASSERT_TRUE(fs::SetAttributes(out + L"ro.txt", fs::kAttrReadOnly));
    EXPECT_TRUE(Unzip(L"", arc, out, L"ro.txt", q));
    EXPECT_EQ(test::ReadAll(out + L"ro.txt"), "new content");
    Result<uint32_t> attrs = fs::GetAttributes(out + L"ro.txt");
    ASSERT_TRUE(attrs);
    EXPECT_TRUE(attrs.value() & fs::kAttrReadOnly);
    Result<uint32_t> dos = fs::GetDosTime(out + L"ro.txt");
    ASSERT_TRUE(dos);
    EXPECT_EQ(dos.value(), (uint32_t(m.date) << 16) | m.time);
    EXPECT_TRUE(q.failureMessages.empty());
}

TEST_F(UnzipTest, PasswordPromptCancelSkipsAndTypedPasswordServesLaterMembers) {
    Make({Encrypted("one.txt", "first secret", "pw"), Encrypted("two.txt", "second secret", "pw")});
    // Cancel: nothing written, no failure.
    EXPECT_TRUE(Unzip(L"", arc, out, L"one.txt", q));
    EXPECT_FALSE(Has(out + L"one.txt"));
    EXPECT_EQ(q.passwordAsks, std::vector<std::wstring>{L"one.txt"});
    // A wrong password, then the right one, which also opens the second member.
    q.passwordAsks.clear();
    q.passwords = {L"nope", L"pw"};
    EXPECT_TRUE(Unzip(L"", arc, out, L"*", q));
    EXPECT_EQ(test::ReadAll(out + L"one.txt"), "first secret");
    EXPECT_EQ(test::ReadAll(out + L"two.txt"), "second secret");
    EXPECT_EQ(q.passwordAsks.size(), 2u);
    // Given up front, the password is never asked for.
    q.passwordAsks.clear();
    EXPECT_TRUE(Unzip(L"pw", arc, dir / L"out2", L"two.txt", q));
    EXPECT_EQ(test::ReadAll(dir / L"out2\\two.txt"), "second secret");
    EXPECT_TRUE(q.passwordAsks.empty());
}

TEST_F(UnzipTest, FailedMemberIsAskedAboutAndLeavesNoFile) {
    FixtureMember bad = Member("bad.txt", "payload that fails its check", 0);
    bad.crc = 1;
    Make({bad, Member("good.txt", "good")});
    const std::wstring expected =
        L"Invalid size or check sum of file or unsupported compression format - Native error: 00008"
        L". File processing error, possibly disk is full";
    struct Case {
        std::vector<Answer> answers;
        size_t asked;
        bool goodWritten;
    } cases[] = {
        {{Answer::Ignore}, 1, true},
        {{Answer::Retry, Answer::Ignore}, 2, true},
        {{Answer::Abort}, 1, false},
    };
    for (const Case& c : cases) {
        test::ZipScratch target;
        q.failures = c.answers;
        q.failureMessages.clear();
        EXPECT_TRUE(Unzip(L"", arc, target.root(), L"*", q));
        ASSERT_EQ(q.failureMessages.size(), c.asked);
        EXPECT_EQ(q.failureMessages[0], expected);
        EXPECT_FALSE(Has(target / L"bad.txt"));
        EXPECT_EQ(Has(target / L"good.txt"), c.goodWritten);
    }
}

// Names that would leave the extraction root fail as members, by name.
TEST_F(UnzipTest, UnsafeNamesNeverLeaveTheRoot) {
    const char* names[] = {"../escape1.txt", "/escape2.txt", "\\escape3.txt", "C:/escape4.txt",
                           "\\\\server\\share\\escape5.txt", "sub/../../escape6.txt", "T:escape7.txt"};
    std::vector<FixtureMember> members;
    for (const char* n : names) members.push_back(Member(n, "evil"));
    members.push_back(Member("fine/ok.txt", "ok"));
    Make(members);
    std::wstring root = dir / L"deep\\root\\";
    EXPECT_TRUE(Unzip(L"", arc, root, L"*", q));
    EXPECT_EQ(test::ReadAll(root + L"fine\\ok.txt"), "ok");
    ASSERT_EQ(q.failureMessages.size(), std::size(names));
    EXPECT_NE(q.failureMessages[0].find(L"\"../escape1.txt\""), std::wstring::npos);
    EXPECT_NE(q.failureMessages[0].find(L"- Native error: 00071"), std::wstring::npos);
    // Trying such a name again cannot help, and no full disk is suggested.
    EXPECT_EQ(q.failureRetryOffered, std::vector<bool>(std::size(names), false));
    EXPECT_EQ(q.failureMessages[0].find(L"disk is full"), std::wstring::npos);
    for (int i = 1; i <= 7; ++i) {
        std::wstring n = L"escape" + std::to_wstring(i) + L".txt";
        EXPECT_FALSE(Has(dir / n)) << i;
        EXPECT_FALSE(Has(dir / (L"deep\\" + n))) << i;
        EXPECT_FALSE(Has(root + n)) << i;
    }
}

TEST_F(UnzipTest, LogLineHidesThePasswordAndStartupTableCountsExtractions) {
    Make({Member("worklist.lst", "w"), Member("BVBASE.DAT", "b")});
    dir.Enter();
    ResetLogForTesting();
    DeepLogging = true;
    UnzipAndLog(L"topsecret", arc, out, L"worklist.lst", q);
    UnzipAndLog(L"", dir / L"missing.zip", out, L"x", q);
    std::wstring installFolder = dir.root();
    test::WriteAll(installFolder + L"BaseFiles.zip", test::ReadAll(arc));
    UnzipExtraBaseFiles(installFolder, L"basefiles_cdn.zip", q);
    DeepLogging = false;
    std::string log = test::ReadAll(dir / LogFileName());
    ResetLogForTesting();
    EXPECT_EQ(log.find("topsecret"), std::string::npos);
    EXPECT_NE(log.find("Unzip *****, " + os_utf8(arc) + ", " + os_utf8(out) + ", worklist.lst"), std::string::npos);
    EXPECT_NE(log.find("Unzip , " + os_utf8(dir / L"missing.zip")), std::string::npos);
    EXPECT_NE(log.find("UnzipExtraBaseFiles-- basefiles_cdn.zip"), std::string::npos);
    size_t lines = 0;
    const std::string startup = "Unzip , " + os_utf8(installFolder) + "BaseFiles.zip, ";
    for (size_t p = log.find(startup); p != std::string::npos; p = log.find(startup, p + 1))
        ++lines;
    EXPECT_EQ(lines, 7u);
    EXPECT_EQ(test::ReadAll(installFolder + L"BVBASE.DAT"), "b");
    EXPECT_EQ(test::ReadAll(installFolder + L"worklist.lst"), "w");
}

TEST(StartupMembersTest, RemoteNameChoosesTheVariantList) {
    EXPECT_EQ(StartupMembers(L"basefiles.zip").size(), 6u);
    EXPECT_EQ(StartupMembers(L"basefiles_cdn.zip").size(), 7u);
    EXPECT_EQ(StartupMembers(L"basefiles_ita.zip").size(), 10u);
    EXPECT_EQ(StartupMembers(L"basefiles_spa.zip").size(), 13u);
    EXPECT_EQ(StartupMembers(L"basefiles_ITA.zip").size(), 6u);
    std::vector<std::wstring> ita = StartupMembers(L"basefiles_ita.zip");
    EXPECT_EQ(ita.front(), L"worklist.lst");
    EXPECT_EQ(std::vector<std::wstring>(ita.begin() + 6, ita.end()),
              (std::vector<std::wstring>{L"BVBASE.DAT", L"BVBASE.TXT", L"BVLANG.ITA", L"BVLANG.DAT"}));
}

}  // namespace
}  // namespace bv
