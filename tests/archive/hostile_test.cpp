// Hostile archives: each is extracted by the component (through the
// questions, answered Ignore) and by the bvzip program, and must leave
// exactly the expected files, report the expected failures, keep the archive
// whole, write nothing outside the destination and exit with 1 when a
// member was refused or the archive was damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/archive/hostile_fixtures.h"
#include "tests/archive/zip_test_util.h"

#ifndef BVZIP_PATH
#error "BVZIP_PATH names the bvzip program"
#endif

namespace bv {
namespace {

namespace sfs = std::filesystem;
using test::HostileCase;

// The files ("name" -> contents; links as "<link>") and the number of
// folders below `folder`.
struct Tree {
    std::map<std::string, std::string> files;
    size_t folders = 0;
};
Tree ListTree(const sfs::path& folder) {
    Tree t;
    std::error_code ec;
    if (!sfs::exists(folder, ec)) return t;
    for (auto it = sfs::recursive_directory_iterator(folder, ec); it != sfs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = it->path().lexically_relative(folder).generic_string();
        sfs::file_status st = it->symlink_status(ec);
        if (sfs::is_symlink(st)) {
            t.files[rel] = "<link>";
        } else if (sfs::is_directory(st)) {
            ++t.folders;
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            t.files[rel].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return t;
}

std::set<std::string> TopLevel(const sfs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : sfs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

std::string Narrow(const std::wstring& s) { return os::ToUtf8(s); }

// Runs bvzip with `args`; answers its exit status, its standard error in `err`.
int RunBvzip(const std::vector<std::wstring>& args, const test::ZipScratch& dir, std::string& err) {
    return test::RunProgram(BVZIP_PATH, args, dir, err);
}

std::wstring Arg(const test::ZipScratch& dir, const std::wstring& name) { return test::ArgPath(dir, name); }

class HostileTest : public ::testing::TestWithParam<HostileCase> {
protected:
    test::ZipScratch dir;
    const HostileCase& c = GetParam();
    std::wstring archive = dir / c.archiveName;
    std::wstring destName = c.intoArchiveFolder ? L"" : L"out";
    sfs::path destHost = c.intoArchiveFolder ? sfs::path(dir.host()) : sfs::path(dir.host()) / "out";

    void SetUp() override {
        test::WriteAll(archive, c.bytes);
        for (const std::string& link : c.links) {
            sfs::create_directories((destHost / link).parent_path());
            sfs::create_directory_symlink(dir.host(), destHost / link);
        }
    }

    // What every way of extracting must leave behind.
    void ExpectOutcome() {
        Tree t = ListTree(destHost);
        std::map<std::string, std::string> files = t.files;
        files.erase("program-output.txt");
        EXPECT_EQ(files.size(), c.files.size());
        for (const auto& [name, bytes] : c.files) {
            auto it = files.find(name);
            if (it == files.end()) ADD_FAILURE() << "missing " << name.substr(0, 80);
            else EXPECT_TRUE(it->second == bytes) << "contents of " << name.substr(0, 80);
        }
        for (const auto& [name, bytes] : files)
            EXPECT_TRUE(c.files.count(name)) << "unexpected " << name.substr(0, 80);
        EXPECT_EQ(t.folders, c.folders);
        // The archive is whole, and nothing lies beside it but the destination.
        EXPECT_TRUE(test::ReadAll(archive) == c.bytes);
        std::set<std::string> expected = {Narrow(c.archiveName)};
        if (!c.intoArchiveFolder) expected.insert("out");
        for (const auto& [name, bytes] : c.files)
            if (c.intoArchiveFolder) expected.insert(name.substr(0, name.find('/')));
        std::set<std::string> top = TopLevel(dir.host());
        top.erase("program-output.txt");
        EXPECT_EQ(top, expected);
    }

    // Extracts everything through the component, the archive read from its
    // file or from memory, and checks what it reported and left.
    void ExtractWithComponent(bool fromMemory) {
        test::ScriptedQuestions q;
        ZipArchiver zip;
        zip.Questions = &q;
        zip.FileName = archive;
        const std::string image = c.bytes;
        if (fromMemory) zip.OpenArchiveFromMemory(image);
        else zip.OpenArchive(fmOpenRead);
        EXPECT_EQ(zip.WasDamaged(), c.damaged);
        // Reading the data alone (as a test does) already refuses shared and
        // misnamed bodies, and reads no byte of them.
        size_t refusedReads = 0;
        for (size_t i = 0; i < zip.Entries().size(); ++i) {
            size_t bytes = 0;
            try {
                zip.ReadMemberData(i, [&](const uint8_t*, size_t n) {
                    bytes += n;
                    return Result<void>();
                });
            } catch (const EZipError& e) {
                EXPECT_EQ(bytes, 0u);
                ++refusedReads;
            }
        }
        EXPECT_EQ(refusedReads > 0, c.readFails && !c.damaged);
        zip.BaseDir = dir / destName;
        // From memory, the workers that unpack ahead read the same bytes.
        if (fromMemory) zip.Threads = 2;
        zip.ExtractFiles(L"*");
        zip.CloseArchive();
        ASSERT_EQ(q.failureMessages.size(), c.failures.size());
        for (size_t i = 0; i < c.failures.size(); ++i) {
            SCOPED_TRACE(i);
            const std::wstring& m = q.failureMessages[i];
            wchar_t number[32];
            std::swprintf(number, 32, L"- Native error: %05d", c.failures[i].number);
            EXPECT_NE(m.find(number), std::wstring::npos) << Narrow(m.substr(0, 200));
            EXPECT_NE(m.find(c.failures[i].part), std::wstring::npos) << Narrow(m.substr(0, 200));
            // Nothing of this kind gets better by trying again.
            EXPECT_FALSE(q.failureRetryOffered[i]);
        }
        ExpectOutcome();
    }
};

TEST_P(HostileTest, ComponentRefusesWhatWouldHurt) { ExtractWithComponent(false); }

// The same archive's bytes read from memory (and unpacked ahead on worker
// threads) meet the same refusals.
TEST_P(HostileTest, ComponentReadingFromMemoryRefusesTheSame) { ExtractWithComponent(true); }

TEST_P(HostileTest, BvzipExitsWithOneAndLeavesTheSameFiles) {
    std::string err;
    int rc = RunBvzip({L"x", L"-d", Arg(dir, destName.empty() ? L"." : destName), Arg(dir, c.archiveName)},
                      dir, err);
    EXPECT_EQ(rc, c.failures.empty() ? 0 : 1) << err.substr(0, 2000);
    for (const test::HostileFailure& f : c.failures) {
        char number[32];
        std::snprintf(number, sizeof number, "- Native error: %05d", f.number);
        EXPECT_NE(err.find(number), std::string::npos) << err.substr(0, 2000);
    }
    ExpectOutcome();
    rc = RunBvzip({L"t", Arg(dir, c.archiveName)}, dir, err);
    EXPECT_EQ(rc, c.readFails ? 1 : 0) << err.substr(0, 2000);
    if (c.damaged) {
        EXPECT_NE(err.find("is damaged"), std::string::npos) << err;
        EXPECT_EQ(err.find("No errors."), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, HostileTest, ::testing::ValuesIn(test::HostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             std::string n;
                             for (char ch : info.param.what) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return n;
                         });

// A damaged archive fails `x` even when the mask chooses only sound members.
TEST(HostileBvzipTest, DamageFailsEvenASoundSelection) {
    test::ZipScratch dir;
    for (const HostileCase& c : test::HostileCases()) {
        if (!c.damaged) continue;
        SCOPED_TRACE(c.what);
        test::WriteAll(dir / c.archiveName, c.bytes);
        std::string err;
        EXPECT_EQ(RunBvzip({L"x", L"-d", Arg(dir, L"sel"), Arg(dir, c.archiveName), L"first.txt"}, dir, err), 1);
        EXPECT_NE(err.find("is damaged"), std::string::npos) << err;
        EXPECT_EQ(test::ReadAll(dir / L"sel\\first.txt"), "first member");
    }
}

// CreateDirectory refuses a folder path of 248 characters or more (with
// the terminating zero: it keeps room for an 8.3 name below), 12 fewer than
// a file may have. A member whose folder is that long is refused before
// any folder is made, by the component and by bvzip; one character less is
// made and written.
TEST(HostileNameTest, FolderTooLongToCreateIsRefusedFirst) {
    test::ZipScratch dir;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::wstring dest = round == 0 ? dir / L"out" : Arg(dir, L"bvzip-out");
        // The length of the destination's full path as the extraction sees
        // it ("\" separators, with the trailing one).
        std::wstring full = dest;
        std::replace(full.begin(), full.end(), L'/', L'\\');
        const size_t base = fs::FullPath(full).size() + 1;
        // A folder part (two names) that makes the full folder path
        // `length` characters long.
        auto folder = [&](size_t length, char letter) {
            std::string rel(length - base, letter);
            rel[rel.size() / 2] = '/';
            return rel;
        };
        std::vector<test::FixtureMember> members(4);
        members[0].name = folder(247, 'f') + "/x.txt";
        members[0].plain = "fits";
        members[1].name = folder(248, 'g') + "/x.txt";
        members[1].plain = "too long";
        members[2].name = folder(248, 'h') + "/";
        members[3].name = folder(247, 'i') + "/";
        test::WriteAll(dir / L"long.zip", test::BuildZip(members));
        if (round == 0) {
            test::ScriptedQuestions q;
            ZipArchiver zip;
            zip.Questions = &q;
            zip.FileName = dir / L"long.zip";
            zip.OpenArchive(fmOpenRead);
            zip.BaseDir = dest;
            zip.ExtractFiles(L"*");
            ASSERT_EQ(q.failureMessages.size(), 2u);
            for (const std::wstring& m : q.failureMessages) EXPECT_NE(m.find(L"- Native error: 00061"), std::wstring::npos);
            EXPECT_NE(q.failureMessages[0].find(L"gg\\x.txt"), std::wstring::npos);
            EXPECT_NE(q.failureMessages[1].find(L"hh\\\""), std::wstring::npos);
        } else {
            std::string err;
            EXPECT_EQ(RunBvzip({L"x", L"-d", dest, Arg(dir, L"long.zip")}, dir, err), 1) << err;
            EXPECT_NE(err.find("- Native error: 00061"), std::string::npos) << err;
        }
        Tree t = ListTree(sfs::path(dir.host()) / (round == 0 ? "out" : "bvzip-out"));
        EXPECT_EQ(t.files, (std::map<std::string, std::string>{{members[0].name, "fits"}}));
        EXPECT_EQ(t.folders, 4u);  // the two of each fitting member
    }
}

#ifndef _WIN32
// A link in the destination named like a member is replaced, never written
// through: neither a dangling one nor one to an existing file outside.
TEST(HostileLinkTest, LinksInTheDestinationAreReplacedNotFollowed) {
    test::ZipScratch dir;
    sfs::path host = dir.host();
    sfs::create_directories(host / "out");
    sfs::create_directories(host / "outside");
    test::WriteAll(dir / L"victim.txt", "keep");
    sfs::permissions(host / "victim.txt", sfs::perms::owner_read, sfs::perm_options::replace);
    sfs::create_symlink(host / "outside" / "target.txt", host / "out" / "dangling.txt");
    sfs::create_symlink(host / "victim.txt", host / "out" / "victim-link.txt");
    test::FixtureMember dangling, victim;
    dangling.name = "dangling.txt";
    dangling.plain = "inside";
    victim.name = "victim-link.txt";
    victim.plain = "new";
    victim.attributes = 0x21;  // read-only: the old file is made writable before it goes
    test::WriteAll(dir / L"links.zip", test::BuildZip({dangling, victim}));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        if (round == 1) {
            // bvzip, after the links are put back.
            sfs::remove(host / "out" / "dangling.txt");
            sfs::remove(host / "out" / "victim-link.txt");
            sfs::create_symlink(host / "outside" / "target.txt", host / "out" / "dangling.txt");
            sfs::create_symlink(host / "victim.txt", host / "out" / "victim-link.txt");
            std::string err;
            EXPECT_EQ(RunBvzip({L"x", L"-d", Arg(dir, L"out"), Arg(dir, L"links.zip")}, dir, err), 0) << err;
        } else {
            test::ScriptedQuestions q;
            ZipArchiver zip;
            zip.Questions = &q;
            zip.FileName = dir / L"links.zip";
            zip.OpenArchive(fmOpenRead);
            zip.BaseDir = dir / L"out";
            zip.ExtractFiles(L"*");
            EXPECT_TRUE(q.failureMessages.empty());
        }
        Tree t = ListTree(host / "out");
        EXPECT_EQ(t.files, (std::map<std::string, std::string>{{"dangling.txt", "inside"}, {"victim-link.txt", "new"}}));
        EXPECT_FALSE(sfs::exists(host / "outside" / "target.txt"));
        EXPECT_EQ(test::ReadAll(dir / L"victim.txt"), "keep");
        // Not even the attributes of the file behind the link change.
        EXPECT_EQ(sfs::status(host / "victim.txt").permissions(), sfs::perms::owner_read);
    }
}
#endif

}  // namespace
}  // namespace bv
