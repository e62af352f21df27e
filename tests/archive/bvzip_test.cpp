// The bvzip program: `a` on an existing archive adds to it and keeps its
// members (a file of a member's name replaces it), never wipes it, leaves it
// byte for byte when nothing is added or it cannot be updated, and never adds
// the archive into itself; and what it says: masks and names that match
// nothing, a folder given as the archive, a missing option value, the
// system's reason, and a full disk suggested only when the disk is full.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/archive/zip_test_util.h"

#ifndef BVZIP_PATH
#error "BVZIP_PATH names the bvzip program"
#endif

namespace bv {
namespace {

class BvzipTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    std::string out;

    void SetUp() override {
        ASSERT_TRUE(fs::ForceDirectories(dir / L"src"));
        for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt"})
            test::WriteAll(dir / (L"src\\" + std::wstring(name)), Content(name, 1));
    }
    static std::string Content(const std::wstring& name, int version) {
        std::string s;
        for (int i = 0; i < 2000; ++i) s += os::ToUtf8(name) + " v" + std::to_string(version) + " line " + std::to_string(i) + "\n";
        return s;
    }
    std::wstring Arg(const std::wstring& name) { return test::ArgPath(dir, name); }
    int Run(const std::vector<std::wstring>& args) {
        int status = test::RunProgram(BVZIP_PATH, args, dir, out);
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        return status;
    }
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
    // The members of the archive, by name, with their data.
    std::vector<std::pair<std::wstring, std::string>> Members(const std::wstring& archive) {
        test::ScriptedQuestions q;
        ZipArchiver zip;
        zip.Questions = &q;
        zip.FileName = dir / archive;
        zip.OpenArchive(fmOpenRead);
        EXPECT_FALSE(zip.WasScanned());
        std::vector<std::pair<std::wstring, std::string>> members;
        for (size_t i = 0; i < zip.Entries().size(); ++i) {
            std::string data;
            zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
                data.append(reinterpret_cast<const char*>(p), n);
                return Result<void>();
            });
            members.emplace_back(zip.Entries()[i].name, data);
        }
        return members;
    }
    // No partial file of an update or an extraction was left behind.
    void ExpectNoPartialFiles(const std::wstring& folder) {
        for (const std::wstring& name : test::Listing(folder)) EXPECT_NE(name[0], L'~') << os::ToUtf8(name);
    }
};

TEST_F(BvzipTest, AddKeepsTheMembersOfAnExistingArchive) {
    using List = std::vector<std::pair<std::wstring, std::string>>;
    ASSERT_EQ(Run({L"a", Arg(L"arc.zip"), Arg(L"src/a.txt"), Arg(L"src/b.txt")}), 0) << out;
    EXPECT_EQ(Members(L"arc.zip"), (List{{L"a.txt", Content(L"a.txt", 1)}, {L"b.txt", Content(L"b.txt", 1)}}));
    // Added to: the members stay.
    ASSERT_EQ(Run({L"a", Arg(L"arc.zip"), Arg(L"src/c.txt")}), 0) << out;
    EXPECT_EQ(Members(L"arc.zip"), (List{{L"a.txt", Content(L"a.txt", 1)},
                                           {L"b.txt", Content(L"b.txt", 1)},
                                           {L"c.txt", Content(L"c.txt", 1)}}));
    // A file of a member's name replaces that member.
    test::WriteAll(dir / L"src\\a.txt", Content(L"a.txt", 2));
    ASSERT_EQ(Run({L"a", Arg(L"arc.zip"), Arg(L"src/a.txt")}), 0) << out;
    EXPECT_EQ(Members(L"arc.zip"), (List{{L"b.txt", Content(L"b.txt", 1)},
                                           {L"c.txt", Content(L"c.txt", 1)},
                                           {L"a.txt", Content(L"a.txt", 2)}}));
    // The update is the same on any number of threads.
    const std::string before = test::ReadAll(dir / L"arc.zip");
    test::WriteAll(dir / L"one.zip", before);
    test::WriteAll(dir / L"four.zip", before);
    ASSERT_EQ(Run({L"a", L"-j", L"1", Arg(L"one.zip"), Arg(L"src/*")}), 0) << out;
    ASSERT_EQ(Run({L"a", L"-j", L"4", Arg(L"four.zip"), Arg(L"src/*")}), 0) << out;
    EXPECT_TRUE(test::ReadAll(dir / L"one.zip") == test::ReadAll(dir / L"four.zip"));
    EXPECT_EQ(Members(L"four.zip").size(), 4u);
    ExpectNoPartialFiles(dir.root());
}

// Whatever cannot be added leaves an existing archive byte for byte.
TEST_F(BvzipTest, AddLeavesTheArchiveWhenItCannotOrNeedNot) {
    ASSERT_EQ(Run({L"a", Arg(L"arc.zip"), Arg(L"src/a.txt"), Arg(L"src/b.txt")}), 0) << out;
    const std::string good = test::ReadAll(dir / L"arc.zip");
    std::string damaged = good;
    damaged.resize(damaged.size() - 3);
    test::WriteAll(dir / L"damaged.zip", damaged);
    test::WriteAll(dir / L"notes.txt", "not an archive at all\n");
    test::WriteAll(dir / L"ro.zip", good);
    ASSERT_TRUE(fs::SetAttributes(dir / L"ro.zip", fs::kAttrReadOnly));
    struct Case {
        const char* what;
        std::wstring archive;
        std::wstring file;
        int status;
        std::string said;
    } cases[] = {
        {"nothing matches", L"arc.zip", L"src/nosuch.txt", 1, "no file matches "},
        {"nothing matches a mask", L"arc.zip", L"src/*.none", 1, "arc.zip is unchanged"},
        {"a damaged directory", L"damaged.zip", L"src/c.txt",
         2, "the archive's directory is damaged; 2 members were found by scanning"},
        {"no archive", L"notes.txt", L"src/c.txt", 2, "Invalid archive file."},
        {"read-only", L"ro.zip", L"src/c.txt", 2, "cannot be updated: it is read-only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bytes = test::ReadAll(dir / c.archive);
        EXPECT_EQ(Run({L"a", Arg(c.archive), Arg(c.file)}), c.status) << out;
        EXPECT_TRUE(Says(c.said)) << out;
        EXPECT_TRUE(test::ReadAll(dir / c.archive) == bytes);
    }
    // A new archive with nothing to add is not made.
    EXPECT_EQ(Run({L"a", Arg(L"new.zip"), Arg(L"src/nosuch.txt")}), 1) << out;
    EXPECT_TRUE(Says("new.zip was not made")) << out;
    EXPECT_FALSE(fs::Stat(dir / L"new.zip").exists);
    // A folder is no archive, for any command.
    for (const wchar_t* command : {L"a", L"l", L"t", L"x"}) {
        SCOPED_TRACE(os::ToUtf8(command));
        std::vector<std::wstring> args = {command, Arg(L"src")};
        if (std::wstring(command) == L"a") args.push_back(Arg(L"src/a.txt"));
        EXPECT_EQ(Run(args), 2) << out;
        EXPECT_TRUE(Says("src is a folder, not an archive")) << out;
    }
    ExpectNoPartialFiles(dir.root());
}

#ifndef _WIN32
// The archive reached through a link to its folder is the archive: it is
// never added into itself, neither when it is updated nor when it is made.
TEST_F(BvzipTest, TheArchiveThroughALinkIsNotAddedIntoItself) {
    namespace sfs = std::filesystem;
    ASSERT_TRUE(fs::ForceDirectories(dir / L"real"));
    test::WriteAll(dir / L"real\\x.txt", "x");
    sfs::create_directory_symlink(sfs::path(dir.host()) / "real", sfs::path(dir.host()) / "link");
    ASSERT_EQ(Run({L"a", Arg(L"real/arc.zip"), Arg(L"src/a.txt")}), 0) << out;
    ASSERT_EQ(Run({L"a", Arg(L"real/arc.zip"), Arg(L"link/*")}), 0) << out;
    std::vector<std::wstring> names;
    for (const auto& [name, data] : Members(L"real\\arc.zip")) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a.txt", L"x.txt"}));
    ASSERT_EQ(Run({L"a", Arg(L"link/new.zip"), Arg(L"real/*")}), 0) << out;
    names.clear();
    for (const auto& [name, data] : Members(L"real\\new.zip")) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"arc.zip", L"x.txt"}));
    ExpectNoPartialFiles(dir / L"real");
}
#endif

TEST_F(BvzipTest, SaysWhatMatchedNothingAndWhy) {
    test::FixtureMember good, bad, blocked;
    good.name = "good.txt";
    good.plain = "good";
    bad.name = "bad.txt";
    bad.plain = "fails its check";
    bad.crc = 1;
    blocked.name = "blocked.txt";
    blocked.plain = "a folder stands in its way";
    test::WriteAll(dir / L"m.zip", test::BuildZip({good, bad, blocked}));
    ASSERT_TRUE(fs::ForceDirectories(dir / L"out\\blocked.txt"));

    EXPECT_EQ(Run({L"x", L"-d", Arg(L"sel"), Arg(L"m.zip"), L"nosuch.txt"}), 1) << out;
    EXPECT_TRUE(Says("no member matches nosuch.txt")) << out;
    EXPECT_EQ(Run({L"x", L"-d", Arg(L"sel"), Arg(L"m.zip"), L"good.txt", L"nosuch.txt"}), 1) << out;
    EXPECT_EQ(test::ReadAll(dir / L"sel\\good.txt"), "good");

    // A check failure and a file in the way are no full disk; the system's
    // own reason is given where there is one.
    EXPECT_EQ(Run({L"x", L"-d", Arg(L"out"), Arg(L"m.zip")}), 1) << out;
    EXPECT_TRUE(Says("- Native error: 00008")) << out;
    EXPECT_TRUE(Says("Cannot create file")) << out;
    EXPECT_TRUE(Says("- Native error: 00019 (")) << out;
    EXPECT_FALSE(Says("possibly disk is full")) << out;
    EXPECT_EQ(test::ReadAll(dir / L"out\\good.txt"), "good");
    EXPECT_FALSE(fs::FileExists(dir / L"out\\bad.txt"));
    ExpectNoPartialFiles(dir / L"out");

    // A missing option value names the option.
    struct Missing {
        std::vector<std::wstring> args;
        const char* said;
    } missing[] = {
        {{L"x", Arg(L"m.zip"), L"-p"}, "option -p needs a value"},
        {{L"x", Arg(L"m.zip"), L"-d"}, "option -d needs a value"},
        {{L"a", Arg(L"n.zip"), Arg(L"src/a.txt"), L"-j"}, "option -j needs a value"},
    };
    for (const Missing& m : missing) {
        EXPECT_EQ(Run(m.args), 2) << out;
        EXPECT_TRUE(Says(m.said)) << out;
    }
    EXPECT_FALSE(fs::Stat(dir / L"n.zip").exists);
}

}  // namespace
}  // namespace bv
