// Interoperability with the peers, on archives made on the spot: Info-ZIP
// zip/unzip, 7-Zip and Python's zipfile write archives that we read and
// extract byte-exactly; they test the archives we write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/console_zip.h"
#include "archive/unzip.h"
#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/archive/agreement_fixtures.h"
#include "tests/archive/zip_test_util.h"

#ifndef BVZIP_PATH
#error "BVZIP_PATH names the bvzip binary"
#endif

namespace bv {
namespace {

int Sh(const std::string& command) {
    int rc = std::system(("{ set -e; " + command + "; } >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool HaveTools() {
    return Sh("command -v zip && command -v unzip && command -v 7z && command -v python3") == 0;
}

// The files every peer archives: text, random bytes, an empty file, a file
// in a sub-folder and a name with a blank.
const std::vector<std::pair<std::wstring, std::string>>& Corpus() {
    static const auto files = [] {
        std::string text, random;
        for (int i = 0; i < 30000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + " of the herd\n";
        uint32_t x = 12345;
        for (int i = 0; i < 150000; ++i) random.push_back(static_cast<char>((x = x * 1664525 + 1013904223) >> 24));
        return std::vector<std::pair<std::wstring, std::string>>{
            {L"text.txt", text}, {L"random.bin", random}, {L"empty.dat", ""},
            {L"sub\\inner.txt", "inside a folder\n"}, {L"with blank.txt", "blank name"}};
    }();
    return files;
}

class InteropTest : public ::testing::Test {
protected:
    test::ZipScratch dir;
    std::wstring src = dir / L"src\\";
    std::string hsrc = dir.host() + "/src";
    test::ScriptedQuestions q;

    void SetUp() override {
        if (!HaveTools()) GTEST_SKIP() << "zip, unzip, 7z or python3 missing";
        ASSERT_TRUE(fs::ForceDirectories(src + L"sub"));
        for (const auto& [name, bytes] : Corpus()) test::WriteAll(src + name, bytes);
    }
    std::string H(const std::string& name) { return "'" + dir.host() + "/" + name + "'"; }
    // Runs `command` inside the source folder.
    int InSrc(const std::string& command) { return Sh("cd '" + hsrc + "'; " + command); }
    void ExpectCorpusIn(const std::wstring& folder) {
        for (const auto& [name, bytes] : Corpus()) {
            SCOPED_TRACE(std::string(name.begin(), name.end()));
            ASSERT_TRUE(fs::FileExists(folder + name));
            EXPECT_TRUE(test::ReadAll(folder + name) == bytes);
        }
    }
};

TEST_F(InteropTest, ReadsInfoZipArchives) {
    ASSERT_EQ(InSrc("zip -qr " + H("plain.zip") + " ."), 0);
    ASSERT_EQ(InSrc("zip -qr -P 'pa ss' " + H("enc.zip") + " ."), 0);
    ASSERT_EQ(InSrc("zip -qr -fz " + H("z64.zip") + " ."), 0);
    // Written to a pipe, so zip cannot seek back: data descriptors.
    ASSERT_EQ(InSrc("cat text.txt | zip -q - - | cat > " + H("stream.zip")), 0);
    for (std::wstring name : {L"plain", L"enc", L"z64"}) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        std::wstring out = dir / (name + L"-out\\");
        EXPECT_TRUE(Unzip(name == L"enc" ? L"pa ss" : L"", dir / (name + L".zip"), out, L"*", q));
        ExpectCorpusIn(out);
    }
    EXPECT_TRUE(q.passwordAsks.empty());
    EXPECT_TRUE(q.failureMessages.empty());

    // Streamed from standard input: a data descriptor follows the data. Read
    // through the directory, and through the scan once the directory is cut.
    std::string stream = test::ReadAll(dir / L"stream.zip");
    ZipArchiver z;
    z.Questions = &q;
    z.FileName = dir / L"stream.zip";
    z.OpenArchive(fmOpenRead);
    ASSERT_EQ(z.Entries().size(), 1u);
    EXPECT_TRUE(z.Entries()[0].flags & 8);
    z.CloseArchive();
    test::WriteAll(dir / L"cut.zip", stream.substr(0, stream.find(std::string("PK\x01\x02", 4)) + 10));
    EXPECT_TRUE(Unzip(L"", dir / L"cut.zip", dir / L"cut-out", L"-", q));
    EXPECT_TRUE(test::ReadAll(dir / L"cut-out\\-") == Corpus()[0].second);
}

TEST_F(InteropTest, Reads7ZipArchivesWithEveryEncryption) {
    for (const char* method : {"ZipCrypto", "AES128", "AES192", "AES256"}) {
        for (const char* level : {"0", "5"}) {
            std::string tag = std::string(method) + "-" + level;
            SCOPED_TRACE(tag);
            std::wstring wtag(tag.begin(), tag.end());
            ASSERT_EQ(InSrc("7z a -y -tzip -p'Pw 7z' -mem=" + std::string(method) + " -mx" + level + " " +
                            H(tag + ".zip") + " ."),
                      0);
            // Wrong password given, then prompted: Cancel skips every member.
            q.passwordAsks.clear();
            EXPECT_TRUE(Unzip(L"wrong", dir / (wtag + L".zip"), dir / (wtag + L"-cancel\\"), L"*", q));
            EXPECT_FALSE(fs::FileExists(dir / (wtag + L"-cancel\\text.txt")));
            // The empty file has its encryption header too. A ZipCrypto header
            // lets a wrong password through once in 256: that member then
            // fails its check instead of asking.
            const bool zipCrypto = std::string(method) == "ZipCrypto";
            EXPECT_EQ(q.passwordAsks.size() + (zipCrypto ? q.failureMessages.size() : 0), 5u);
            if (zipCrypto) q.failureMessages.clear();
            // Typed at the prompt after a wrong one.
            q.passwords = {L"still wrong", L"Pw 7z"};
            EXPECT_TRUE(Unzip(L"", dir / (wtag + L".zip"), dir / (wtag + L"\\"), L"*", q));
            ExpectCorpusIn(dir / (wtag + L"\\"));
            EXPECT_TRUE(q.failureMessages.empty());
        }
    }
}

TEST_F(InteropTest, FlippedAesByteFailsTheAuthenticationCode) {
    ASSERT_EQ(InSrc("7z a -y -tzip -p'pw' -mem=AES256 -mx0 " + H("aes.zip") + " random.bin"), 0);
    std::string bytes = test::ReadAll(dir / L"aes.zip");
    size_t data = 30 + std::string("random.bin").size() + 11 + 16 + 2;  // AES field, salt, verifier
    bytes[data + 5000] ^= 0x01;
    test::WriteAll(dir / L"flipped.zip", bytes);
    EXPECT_TRUE(Unzip(L"pw", dir / L"flipped.zip", dir / L"flipped", L"*", q));
    ASSERT_EQ(q.failureMessages.size(), 1u);
    EXPECT_EQ(q.failureMessages[0].find(L"Invalid size or check sum"), 0u);
    EXPECT_FALSE(fs::FileExists(dir / L"flipped\\random.bin"));
}

TEST_F(InteropTest, ReadsPythonZipfileArchives) {
    std::string script =
        "import zipfile,os\n"
        "with zipfile.ZipFile('" + dir.host() + "/py.zip','w') as z:\n"
        "  for root,dirs,files in os.walk('.'):\n"
        "    for f in sorted(files):\n"
        "      p=os.path.join(root,f)[2:]\n"
        "      z.write(p,p,compress_type=zipfile.ZIP_DEFLATED if f.endswith('.txt') else zipfile.ZIP_STORED)\n"
        "  z.writestr('K\\u00e4se.txt','cheese')\n";
    test::WriteAll(dir / L"make.py", script);
    ASSERT_EQ(InSrc("python3 " + H("make.py")), 0);
    EXPECT_TRUE(Unzip(L"", dir / L"py.zip", dir / L"py\\", L"*", q));
    ExpectCorpusIn(dir / L"py\\");
    EXPECT_EQ(test::ReadAll(dir / L"py\\K\u00E4se.txt"), "cheese");
}

TEST_F(InteropTest, PeersAcceptWhatWeWrite) {
    TConsoleZipObject zipObj;
    zipObj.Questions = &q;
    ASSERT_TRUE(zipObj.Start(dir / L"console.zip", 0));
    zipObj.AddFile(src + L"*");
    zipObj.SetPassword(L"geheim");
    zipObj.AddFile(src + L"sub\\inner.txt");
    zipObj.Finish();
    ASSERT_TRUE(zipObj.Success);
    ASSERT_EQ(Sh(std::string(BVZIP_PATH) + " a -9 " + H("tool.zip") + " '" + hsrc + "'"), 0);
    ASSERT_EQ(Sh(std::string(BVZIP_PATH) + " a -1 -p 'se cret' " + H("tool-enc.zip") + " '" + hsrc + "'"), 0);
    struct Case {
        const char* archive;
        const char* password;
    } cases[] = {{"console.zip", "geheim"}, {"tool.zip", ""}, {"tool-enc.zip", "se cret"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        std::string pw = c.password;
        EXPECT_EQ(Sh("unzip -t -P '" + pw + "' " + H(c.archive)), 0);
        EXPECT_EQ(Sh("7z t -p'" + pw + "' " + H(c.archive)), 0);
        EXPECT_EQ(Sh("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                     "z.setpassword(sys.argv[2].encode()); sys.exit(1 if z.testzip() else 0)\" " +
                     H(c.archive) + " '" + pw + "'"),
                  0);
    }
    // Byte-exact through unzip.
    ASSERT_EQ(Sh("unzip -q -P 'se cret' " + H("tool-enc.zip") + " -d " + H("peer-out")), 0);
    ExpectCorpusIn(dir / L"peer-out\\");
}

// Info-ZIP stores a name as the bytes it finds on disk, without the UTF-8
// flag: here the code-page-437 bytes a DOS or Windows tool would write. A
// second archive carries Info-ZIP's Unicode Path block over a name that
// says nothing. bvzip extracts both under their Unicode names.
TEST_F(InteropTest, NonAsciiNamesOfOtherToolsExtractRight) {
    const std::string oem = "K\xE0\xA4se.txt";                      // "Kαñse.txt" in code page 437
    const std::string utf8 = "K\xCE\xB1\xC3\xB1se.txt";              // the same in UTF-8
    const std::string utf8Second = "K\xCE\xB1\xC3\xB1se-2.txt";
    ASSERT_EQ(Sh("mkdir -p " + H("names") + " && cd " + H("names") + " && printf 'from zip' > '" + oem +
                 "' && zip -q ../names.zip '" + oem + "'"),
              0);
    test::FixtureMember m;
    m.name = "K__se-2.txt";
    std::string field = std::string("\x01") + test::Le32(test::Crc32(m.name)) + utf8Second;
    m.extra = test::Le16(0x7075) + test::Le16(static_cast<uint32_t>(field.size())) + field;
    m.plain = "unicode path";
    test::WriteAll(dir / L"up.zip", test::BuildZip({m}));
    std::string bvzip = BVZIP_PATH;
    for (const char* archive : {"names.zip", "up.zip"})
        EXPECT_EQ(Sh(bvzip + " x -d " + H("out") + " " + H(archive)), 0) << archive;
    EXPECT_EQ(Sh("test \"$(cat " + H("out/" + utf8) + ")\" = 'from zip'"), 0);
    EXPECT_EQ(Sh("test \"$(cat " + H("out/" + utf8Second) + ")\" = 'unicode path'"), 0);
    EXPECT_EQ(Sh("test $(ls " + H("out") + " | wc -l) = 2"), 0);
}

TEST_F(InteropTest, BvzipExitStatus) {
    ASSERT_EQ(InSrc("zip -qr -P pw " + H("enc.zip") + " ."), 0);
    std::string bvzip = BVZIP_PATH;
    EXPECT_EQ(Sh(bvzip + " --help"), 0);
    EXPECT_EQ(Sh(bvzip + " t -p pw " + H("enc.zip")), 0);
    EXPECT_EQ(Sh(bvzip + " t " + H("enc.zip")), 1);
    EXPECT_EQ(Sh(bvzip + " x -p wrong -d " + H("x") + " " + H("enc.zip")), 1);
    EXPECT_EQ(Sh(bvzip + " x -p pw -d " + H("x") + " " + H("enc.zip") + " '*.txt'"), 0);
    EXPECT_TRUE(test::ReadAll(dir / L"x\\text.txt") == Corpus()[0].second);
    EXPECT_FALSE(fs::FileExists(dir / L"x\\random.bin"));
    EXPECT_EQ(Sh(bvzip + " l " + H("missing.zip")), 2);
    EXPECT_EQ(Sh(bvzip + " q " + H("enc.zip")), 2);
    EXPECT_EQ(Sh(bvzip + " a " + H("only.zip")), 2);
}

// The archives of agreement_fixtures.h through the peers that read them as
// we do: a sound archive tests whole and lists our names; a damaged
// directory fails their test as it fails bvzip's.
TEST(AgreementInteropTest, PeersAgreeOnTheSameArchives) {
    if (!HaveTools()) GTEST_SKIP() << "zip, unzip, 7z or python3 missing";
    test::ZipScratch dir;
    const std::string list = dir.host() + "/names.txt";
    // The names a peer lists, one a line, a folder's without its "/".
    auto names = [&](const std::string& command) {
        std::set<std::string> out;
        if (Sh(command + " > '" + list + "'") != 0) return out;
        std::istringstream lines(test::ReadAll(dir / L"names.txt"));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Path = ", 0) == 0) line = line.substr(7);
            if (!line.empty() && line.back() == '/') line.pop_back();
            if (!line.empty()) out.insert(line);
        }
        return out;
    };
    const std::string zipfileTest =
        "python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); sys.exit(1 if z.testzip() else 0)\" ";
    const std::string zipfileNames =
        "python3 -c \"import zipfile,sys; print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))\" ";
    for (const test::AgreementCase& c : test::AgreementCases()) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.host() + "/" + c.what + ".zip";
        test::WriteAll(dir / os::FromUtf8(c.what + ".zip"), c.bytes);
        const std::string arg = "'" + path + "'";
        std::set<std::string> ours;
        for (const test::AgreementMember& m : c.members) {
            std::string name = m.name;
            if (name.back() == '/') name.pop_back();
            ours.insert(name);
        }
        struct Peer {
            const char* name;
            std::string test, list;
        } peers[] = {
            {"unzip", "unzip -tqq " + arg, "unzip -Z1 " + arg},
            {"7z", "7z t " + arg, "7z l -ba -slt " + arg + " | grep '^Path = '"},
            {"zipfile", zipfileTest + arg, zipfileNames + arg},
        };
        for (const Peer& p : peers) {
            if (!c.peers.count(p.name)) continue;
            SCOPED_TRACE(p.name);
            if (c.scanned) {
                EXPECT_NE(Sh(p.test), 0);
            } else {
                EXPECT_EQ(Sh(p.test), 0);
                EXPECT_EQ(names(p.list), ours);
            }
        }
    }
}

// An archive that bvzip added to reads whole in every peer.
TEST_F(InteropTest, PeersAcceptAnArchiveAddedTo) {
    std::string bvzip = BVZIP_PATH;
    ASSERT_EQ(InSrc("zip -q " + H("added.zip") + " text.txt empty.dat"), 0);
    ASSERT_EQ(Sh(bvzip + " a " + H("added.zip") + " '" + hsrc + "/random.bin' '" + hsrc + "/text.txt'"), 0);
    EXPECT_EQ(Sh("unzip -tqq " + H("added.zip")), 0);
    EXPECT_EQ(Sh("7z t " + H("added.zip")), 0);
    EXPECT_EQ(Sh("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); sys.exit(1 if z.testzip() or "
                 "sorted(z.namelist()) != ['empty.dat','random.bin','text.txt'] else 0)\" " + H("added.zip")),
              0);
    ASSERT_EQ(Sh("unzip -q " + H("added.zip") + " -d " + H("added")), 0);
    for (const char* name : {"text.txt", "random.bin", "empty.dat"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Sh("cmp " + H(std::string("added/") + name) + " '" + hsrc + "/" + name + "'"), 0);
    }
}

}  // namespace
}  // namespace bv
