// The archives other ZIP tools are compared on (agreement_fixtures.h), read
// by the component and by bvzip: members made on Unix come out as the files
// and folders their modes say, an archive whose directory cannot be read is
// opened by the scan and said to be damaged (bvzip t exits 1), and an end
// record hidden in the comment does not hide the archive's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "archive/unzip.h"
#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/archive/agreement_fixtures.h"
#include "tests/archive/zip_test_util.h"
#include "util/log.h"

#ifndef BVZIP_PATH
#error "BVZIP_PATH names the bvzip program"
#endif

namespace bv {
namespace {

using test::AgreementCase;

const std::string kScanLine = "the archive's directory is damaged; ";

std::wstring Wide(const std::string& s) { return os::FromUtf8(s); }

class AgreementTest : public ::testing::TestWithParam<AgreementCase> {
protected:
    test::ZipScratch dir;
    const AgreementCase& c = GetParam();
    std::wstring archive = dir / L"case.zip";

    void SetUp() override { test::WriteAll(archive, c.bytes); }

    std::string ExpectedScanLine() const {
        return kScanLine + std::to_string(c.members.size()) + " members were found by scanning";
    }

    // What extracting everything must leave in `out`: the members, each as
    // a file with its bytes (read-only where its mode says so) or a folder,
    // and nothing else (no partial file).
    void ExpectExtracted(const std::wstring& out) {
        std::vector<std::wstring> expected;
        for (const test::AgreementMember& m : c.members) {
            SCOPED_TRACE(m.name);
            std::wstring name = Wide(m.name);
            if (!name.empty() && name.back() == L'/') name.pop_back();
            expected.push_back(name);
            if (m.folder) {
                EXPECT_TRUE(fs::DirectoryExists(out + name));
                continue;
            }
            ASSERT_TRUE(fs::FileExists(out + name));
            EXPECT_EQ(test::ReadAll(out + name), m.data);
            Result<uint32_t> attributes = fs::GetAttributes(out + name);
            ASSERT_TRUE(attributes);
            EXPECT_EQ((attributes.value() & fs::kAttrReadOnly) != 0, m.readOnly);
            EXPECT_EQ(attributes.value() & (fs::kAttrHidden | fs::kAttrSystem | fs::kAttrDirectory), 0u);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(test::Listing(out), expected);
    }
};

TEST_P(AgreementTest, ComponentListsAndExtractsWhatIsThere) {
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        test::ScriptedQuestions q;
        ZipArchiver zip;
        zip.Questions = &q;
        zip.FileName = archive;
        zip.Threads = threads;
        zip.OpenArchive(fmOpenRead);
        EXPECT_EQ(zip.WasScanned(), c.scanned);
        EXPECT_EQ(os::ToUtf8(zip.ScanReport()), c.scanned ? ExpectedScanLine() : "");
        ASSERT_EQ(zip.Entries().size(), c.members.size());
        for (size_t i = 0; i < c.members.size(); ++i) {
            EXPECT_EQ(os::ToUtf8(zip.Entries()[i].name), c.members[i].name);
            EXPECT_EQ(zip.Entries()[i].IsDirectory(), c.members[i].folder) << c.members[i].name;
        }
        const std::wstring out = dir / (L"out" + std::to_wstring(threads) + L"\\");
        zip.BaseDir = out;
        zip.ExtractFiles(L"*");
        zip.CloseArchive();
        EXPECT_TRUE(q.failureMessages.empty()) << os::ToUtf8(q.failureMessages.empty() ? L"" : q.failureMessages[0]);
        ExpectExtracted(out);
    }
    EXPECT_TRUE(test::ReadAll(archive) == c.bytes);
}

// bvzip says "the archive's directory is damaged; N members were found by
// scanning" on every command for an archive opened by the scan, and its
// test then fails; a sound archive tests clean.
TEST_P(AgreementTest, BvzipSaysWhenTheDirectoryIsDamaged) {
    const std::wstring arg = test::ArgPath(dir, L"case.zip");
    std::string out;
    struct Run {
        std::vector<std::wstring> args;
        int status;
    } runs[] = {
        {{L"t", arg}, c.scanned ? 1 : 0},
        {{L"l", arg}, 0},
        {{L"x", L"-d", test::ArgPath(dir, L"x"), arg}, c.scanned ? 1 : 0},
    };
    for (const Run& r : runs) {
        SCOPED_TRACE(os::ToUtf8(r.args[0]));
        EXPECT_EQ(test::RunProgram(BVZIP_PATH, r.args, dir, out), r.status) << out;
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        EXPECT_EQ(out.find(ExpectedScanLine()) != std::string::npos, c.scanned) << out;
        if (r.args[0] == L"t") {
            EXPECT_NE(out.find(c.scanned ? "Errors found." : "No errors."), std::string::npos) << out;
        }
        if (r.args[0] == L"l") {
            for (const test::AgreementMember& m : c.members) {
                EXPECT_NE(out.find(" " + m.name + "\n"), std::string::npos) << out;
            }
        }
    }
    ExpectExtracted(dir / L"x\\");
}

INSTANTIATE_TEST_SUITE_P(Archives, AgreementTest, ::testing::ValuesIn(test::AgreementCases()),
                         [](const ::testing::TestParamInfo<AgreementCase>& info) {
                             std::string n;
                             for (char ch : info.param.what) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return n;
                         });

// The wizard's extraction from an archive opened by the scan logs the
// same line and goes on: the start-up files come out.
TEST(AgreementUnzipTest, WizardLogsADamagedDirectoryAndGoesOn) {
    test::ZipScratch dir;
    test::FixtureMember worklist, flytable;
    worklist.name = "worklist.lst";
    worklist.plain = "list";
    flytable.name = "FLYTABLE.BVG";
    flytable.plain = std::string(3000, 'f');
    flytable.method = 8;
    std::string bytes = test::BuildZip({worklist, flytable});
    bytes.resize(bytes.size() - 3);  // the end record cut
    const std::wstring folder = dir.root();
    test::WriteAll(folder + L"BaseFiles.zip", bytes);
    dir.Enter();
    ResetLogForTesting();
    DeepLogging = true;
    test::ScriptedQuestions q;
    std::vector<Error> problems = UnzipExtraBaseFiles(folder, L"basefiles.zip", q);
    DeepLogging = false;
    std::string log = test::ReadAll(dir / LogFileName());
    ResetLogForTesting();
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(test::ReadAll(folder + L"worklist.lst"), "list");
    EXPECT_EQ(test::ReadAll(folder + L"FLYTABLE.BVG"), flytable.plain);
    // One line after each of the six extractions.
    size_t lines = 0;
    const std::string line = kScanLine + "2 members were found by scanning";
    for (size_t p = log.find(line); p != std::string::npos; p = log.find(line, p + 1)) ++lines;
    EXPECT_EQ(lines, 6u) << log;
}

}  // namespace
}  // namespace bv
