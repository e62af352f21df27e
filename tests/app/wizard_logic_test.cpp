// The wizard's handlers natively, over the in-memory view and a scratch
// drive C:, so a whole installation runs under the sanitizers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

#include "app/MainU.h"
#include "app/layout.h"
#include "app/unattended.h"
#include "platform/fs.h"
#include "tests/app/memory_view.h"
#include "tests/test_dir.h"
#include "transfer/dmClient.h"
#include "transfer/notify.h"
#include "util/log.h"

namespace bv {
namespace {

class WizardLogic : public testing::Test {
protected:
    void SetUp() override {
        fs::MapDrive(L'C', drive_.path());
        TestMode = SkipSwitch = false;
        Wire(form_);
        module_ = std::make_unique<TdmClient>();
        form_.FormShow();
    }
    void TearDown() override { module_.reset(); }

    // Attaches a form to the view, gives it the fakes and creates it.
    void Wire(TMainF& form) {
        view_.Attach(form);
        WizardServices& s = form.Services;
        s.VendorAuthority = [] { return std::wstring(L"vendor.test"); };
        s.CheckForInternet = [](const std::wstring&, uint32_t) { return true; };
        s.GetServerBaseURL = [] { return std::wstring(L"http://vendor.test/dl/"); };
        s.DownloadToFile = [this](const std::wstring& url, const std::wstring& path) {
            std::wstring name = url.substr(url.find_last_of(L'/') + 1);
            requested_.push_back(name);
            if (whileFetching_) whileFetching_(name);
            return !missing_.count(name) && fs::WriteFile(path, "data");
        };
        s.UnzipExtraBaseFiles = [this](const std::wstring&, const std::wstring& remote, Questions&) {
            unzipped_ = remote;
            return std::vector<Error>{};
        };
        s.DesktopFolder = [] { return std::wstring(L"C:\\Desktop"); };
        s.SaveShellLink = [this](const std::wstring& target, const std::wstring& link) {
            links_.push_back(link + L" -> " + target);
            return Result<void>();
        };
        form.ParamsHook = [] { return std::vector<std::wstring>{}; };
        form.FormCreate();
    }

    test::ScratchDir drive_;
    test::MemoryView view_;
    TMainF form_{view_};
    std::unique_ptr<TdmClient> module_;
    std::set<std::wstring> missing_;
    std::vector<std::wstring> requested_;
    // Runs while a file is being fetched (the window's thread is held).
    std::function<void(const std::wstring& name)> whileFetching_;
    std::wstring unzipped_;
    std::vector<std::wstring> links_;
};

TEST_F(WizardLogic, SpanishCanadaWithTheFallbackArchive) {
    missing_ = {L"basefiles_spa.zip"};
    view_.SetText(Ctl::edInstallFolder, L"  C:\\Farm\\BV500\\  ");
    form_.OnClick(Ctl::btnNext1);
    ASSERT_EQ(view_.ActivePage(), Ctl::tbSelectLangfiles);
    EXPECT_EQ(form_.InstallFolder, L"C:\\Farm\\BV500\\");
    view_.SetItemIndex(Ctl::rgLanguage, 1);
    form_.OnClick(Ctl::btnNext3);
    view_.SetItemIndex(Ctl::rgSireFiles, 1);
    form_.OnClick(Ctl::btnNext4);
    form_.OnClick(Ctl::btnNext5);
    for (int tick = 0; tick < 8 && !view_.IsEnabled(Ctl::btnFinish); ++tick) form_.OnTimer();

    EXPECT_EQ(requested_, (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___", L"bvlang.spa", L"bvsires.cdn",
                                                     L"basefiles_spa.zip", L"basefiles.zip"}));
    EXPECT_EQ(unzipped_, L"basefiles_spa.zip");
    EXPECT_EQ(links_, std::vector<std::wstring>{L"C:\\Desktop\\Bovista 500.lnk -> C:\\Farm\\BV500\\ZODed.exe"});
    std::vector<std::wstring> files = fs::FindFiles(L"C:\\Farm\\BV500", L"*");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::wstring>{L"BaseFiles.zip", L"ZODed.exe", L"bvlang.spa", L"bvsires.cdn",
                                                L"ipanema.mid"}));
    EXPECT_TRUE(view_.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(view_.HasFocus(Ctl::btnFinish));
    EXPECT_FALSE(view_.IsVisible(Ctl::pb));
    EXPECT_EQ(view_.Lines(Ctl::memDownload).size(), 6u);  // five files started and "Done"
    form_.OnClick(Ctl::btnFinish);
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(form_.Batchlist, nullptr);
}

// The window builds itself from the table: one window entry, every id once
// (it tells the controls apart), every parent listed before its children.
TEST(WizardLayoutTable, IdsAreUniqueAndParentsComeFirst) {
    std::set<ui::ControlId> seen;
    int windows = 0;
    for (const ui::ControlDef& def : WizardLayout()) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(def.id));
        if (def.kind == ui::Kind::Window) {
            ++windows;
        } else {
            EXPECT_TRUE(seen.count(def.parent)) << "parent listed first";
        }
        EXPECT_TRUE(seen.insert(def.id).second) << "id used once";
    }
    EXPECT_EQ(windows, 1);
}

// Each program's files, in order, as the log tells the batch, and its
// shortcut; the language and sire files follow the program's.
TEST_F(WizardLogic, EveryProgramHasItsBatchAndShortcut) {
    test::ScratchDir cwd;
    cwd.Enter();
    ResetLogForTesting();
    DeepLogging = true;
    struct Case {
        int language, sire, program;
        std::vector<std::string> added;  // after "DoDownloads, Batchlist.add = "
        std::wstring link;
    };
    const Case cases[] = {
        {0, 6, 0, {"zoded.___;ZODed.___", "basefiles.zip;BaseFiles.zip"}, L"Bovista 500.lnk -> C:\\P\\ZODed.exe"},
        {0, 6, 1, {"zovozivu.___;ZOVozivu.___", "ruvuvevu.___;RUVuvevu.___", "basefiles.zip;BaseFiles.zip"},
         L"BV Client.lnk -> C:\\P\\ZOVozivu.exe"},
        {0, 6, 2,
         {"zoded.___;ZODed.___", "zovozivu.___;ZOVozivu.___", "ruvuvevu.___;RUVuvevu.___",
          "basefiles.zip;BaseFiles.zip"},
         L"Bovista 500.lnk -> C:\\P\\ZODed.exe"},
        {0, 6, 3, {"bvcon.___;ZODed.___", "basefiles.zip;BaseFiles.zip"}, L"Bovista 500.lnk -> C:\\P\\ZODed.exe"},
        {0, 6, 4, {"rangerwin.___;RangerWin.___", "basefiles.zip;BaseFiles.zip"}, L"Ranger.lnk -> C:\\P\\RangerWin.exe"},
        {2, 3, 5,
         {"lumenwin.___;ZODed.___", "bvlang.ita;bvlang.ita", "bvsires.ita;bvsires.ita", "basefiles.zip;BaseFiles.zip"},
         L"Bovista Lumen.lnk -> C:\\P\\ZODed.exe"},
    };
    const std::string marker = "DoDownloads, Batchlist.add = ";
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "program " << c.program);
        links_.clear();
        view_.SetText(Ctl::edInstallFolder, L"C:\\P");
        form_.OnClick(Ctl::btnNext1);
        view_.SetItemIndex(Ctl::rgLanguage, c.language);
        form_.OnClick(Ctl::btnNext3);
        view_.SetItemIndex(Ctl::rgSireFiles, c.sire);
        form_.OnClick(Ctl::btnNext4);
        view_.SetItemIndex(Ctl::rgProgram, c.program);
        form_.OnClick(Ctl::btnNext5);
        for (int tick = 0; tick < 8 && !view_.IsEnabled(Ctl::btnFinish); ++tick) form_.OnTimer();
        view_.SetEnabled(Ctl::btnFinish, false);

        Result<std::string> read = fs::ReadFile(LogFileName());
        ASSERT_TRUE(read);
        const std::string& log = read.value();
        std::vector<std::string> added;
        for (size_t at = log.find(marker, seen); at != std::string::npos; at = log.find(marker, at + 1)) {
            size_t end = log.find_first_of("\r\n", at);
            added.push_back(log.substr(at + marker.size(), end - at - marker.size()));
            seen = end;
        }
        EXPECT_EQ(added, c.added);
        EXPECT_EQ(links_, std::vector<std::wstring>{L"C:\\Desktop\\" + c.link});
    }
    DeepLogging = false;
    ResetLogForTesting();
}

// Every page takes the focus when it is shown, so a key pressed next goes to
// a control on it: the folder list, the checked radio item, the memo while
// the batch runs and Finish once it is enabled.
TEST_F(WizardLogic, EveryPageShownTakesTheFocus) {
    EXPECT_TRUE(view_.HasFocus(Ctl::lbxInstallFolder));
    view_.SetText(Ctl::edInstallFolder, L"C:\\Focus");
    struct Step {
        ui::ControlId button, focus;
    };
    const Step steps[] = {{Ctl::btnNext1, Ctl::rgLanguage},
                          {Ctl::btnNext3, Ctl::rgSireFiles},
                          {Ctl::btnNext4, Ctl::rgProgram},
                          {Ctl::btnNext5, Ctl::memDownload}};
    std::vector<std::string> focusWhileFetching;
    whileFetching_ = [&](const std::wstring&) {
        focusWhileFetching.push_back(view_.HasFocus(Ctl::memDownload) ? "memo" : "elsewhere");
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(s.button));
        form_.OnClick(s.button);
        EXPECT_TRUE(view_.HasFocus(s.focus));
    }
    // The music file was fetched from the folder page; the batch's files
    // while the memo had the focus.
    EXPECT_EQ(focusWhileFetching.front(), "elsewhere");
    EXPECT_EQ(focusWhileFetching.back(), "memo");
    for (int tick = 0; tick < 8 && !view_.IsEnabled(Ctl::btnFinish); ++tick) form_.OnTimer();
    ASSERT_TRUE(view_.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(view_.HasFocus(Ctl::btnFinish));
    // Pages opened by their tabs in test mode take it too.
    view_.ShowPage(Ctl::TabSheet2);
    EXPECT_TRUE(view_.HasFocus(Ctl::Edit1));
    view_.ShowPage(Ctl::tbDownload);
    EXPECT_TRUE(view_.HasFocus(Ctl::btnFinish));
    view_.ShowPage(Ctl::tbInstallFolder);
    EXPECT_TRUE(view_.HasFocus(Ctl::lbxInstallFolder));
}

// The downloads hold the window's thread: the whole window is painted before
// the batch's first file, and again with each memo line, before it is fetched.
TEST_F(WizardLogic, TheWindowIsPaintedBeforeEachFileIsFetched) {
    struct Seen {
        std::wstring file;
        int repaints;
        std::wstring lastLine;
    };
    std::vector<Seen> seen;
    whileFetching_ = [&](const std::wstring& name) {
        std::vector<std::wstring> lines = view_.Lines(Ctl::memDownload);
        seen.push_back({name, view_.repaints[Ctl::MainF], lines.empty() ? L"" : lines.back()});
    };
    view_.SetText(Ctl::edInstallFolder, L"C:\\Paint");
    form_.OnClick(Ctl::btnNext1);
    form_.OnClick(Ctl::btnNext3);
    form_.OnClick(Ctl::btnNext4);
    form_.OnClick(Ctl::btnNext5);
    for (int tick = 0; tick < 8 && !view_.IsEnabled(Ctl::btnFinish); ++tick) form_.OnTimer();
    ASSERT_EQ(seen.size(), 4u);  // the music file, then the batch's three
    EXPECT_EQ(seen[0].file, L"ipanema.mid");
    for (size_t i = 1; i < seen.size(); ++i) {
        SCOPED_TRACE(std::string(seen[i].file.begin(), seen[i].file.end()));
        EXPECT_GT(seen[i].repaints, seen[i - 1].repaints);
        EXPECT_EQ(seen[i].lastLine.rfind(L"Downloading C:\\Paint\\", 0), 0u) << "its memo line shown";
    }
}

// A close asked while a file arrives (the in-memory window closes at once)
// lets that file end; no tick starts another, nor the finish.
TEST_F(WizardLogic, ACloseDuringADownloadStartsNoFurtherFile) {
    whileFetching_ = [&](const std::wstring& name) {
        if (name == L"zoded.___") view_.PostClose();
    };
    view_.SetText(Ctl::edInstallFolder, L"C:\\Closed");
    form_.OnClick(Ctl::btnNext1);
    form_.OnClick(Ctl::btnNext3);
    form_.OnClick(Ctl::btnNext4);
    form_.OnClick(Ctl::btnNext5);
    ASSERT_TRUE(view_.closed);
    for (int tick = 0; tick < 8; ++tick) form_.OnTimer();
    EXPECT_EQ(requested_, (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___"}));
    EXPECT_TRUE(fs::FileExists(L"C:\\Closed\\ZODed.___"));
    EXPECT_FALSE(view_.IsEnabled(Ctl::btnFinish));
    EXPECT_EQ(unzipped_, L"");
    EXPECT_TRUE(links_.empty());
}

TEST_F(WizardLogic, ProgressCreepsEveryHundredBlocksAndWraps) {
    for (int i = 1; i <= 99; ++i) form_.ShowProgress(nullptr, 0, 2048);
    EXPECT_EQ(view_.ProgressPosition(Ctl::pb), 50);
    EXPECT_EQ(view_.repaints[Ctl::pb], 0);
    form_.ShowProgress(nullptr, 0, 3 * 1024 + 1023);
    EXPECT_EQ(view_.ProgressPosition(Ctl::pb), 1);
    EXPECT_EQ(view_.GetText(Ctl::pnBottom), L"3 KB");
    EXPECT_EQ(view_.barColor, 0x00FF00u);
    for (int i = 0; i < 100 * 100; ++i) form_.ShowProgress(nullptr, 0, int64_t{1} << 40);
    EXPECT_EQ(view_.ProgressPosition(Ctl::pb), 1);
    EXPECT_EQ(view_.GetText(Ctl::pnBottom), L"1073741824 KB");
    EXPECT_EQ(view_.repaints[Ctl::pb], 101);
}

// ---- The folder page's write check ----

// Makes a host folder refuse new files, or lets it take them again. Root
// ignores permissions, so for root the folder gets the immutable attribute
// (which binds root too) where the file system has it. Answers whether the
// folder now refuses a new file.
bool LockFolder(const std::string& path, bool lock) {
    if (geteuid() != 0) {
        ::chmod(path.c_str(), lock ? 0555 : 0755);
    } else {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return false;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = lock ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }
    std::string probe = path + "/lock-check";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return true;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
}

// An existing folder that refuses new files is refused on the folder page,
// with the page's message, before the connection check or any fetch; a
// folder that takes them is accepted and keeps nothing of the check, not
// even beside a file that happens to bear the check's first name.
TEST_F(WizardLogic, TheFolderPageChecksThatItCanWriteThere) {
    test::ScratchDir cwd;
    cwd.Enter();
    ResetLogForTesting();
    DeepLogging = true;
    bool checked = false;
    form_.Services.CheckForInternet = [&checked](const std::wstring&, uint32_t) { return checked = true; };

    ASSERT_TRUE(fs::ForceDirectories(L"C:\\Locked"));
    std::string locked = fs::HostPath(L"C:\\Locked");
    if (!LockFolder(locked, true)) {
        LockFolder(locked, false);
        GTEST_SKIP() << "this file system cannot make a folder refuse new files to this user";
    }
    view_.SetText(Ctl::edInstallFolder, L"C:\\Locked");
    form_.OnClick(Ctl::btnNext1);
    LockFolder(locked, false);
    EXPECT_EQ(view_.ActivePage(), Ctl::tbInstallFolder);
    EXPECT_EQ(view_.questions_.messages, std::vector<std::wstring>{L"Unable to create installation folder"});
    EXPECT_EQ(form_.InstallFolder, L"C:\\Locked");
    EXPECT_FALSE(checked);
    EXPECT_TRUE(requested_.empty());
    EXPECT_TRUE(fs::ListDirectory(L"C:\\Locked").empty());
    Result<std::string> log = fs::ReadFile(LogFileName());
    ASSERT_TRUE(log);
    EXPECT_NE(log.value().find("InitInstallFolder cannot write in C:\\Locked\\: "), std::string::npos) << log.value();
    EXPECT_NE(log.value().find("InitInstallFolder was not created."), std::string::npos);

    // A file named as the first probe is another's: it stays as it was.
    ASSERT_TRUE(fs::ForceDirectories(L"C:\\Open"));
    ASSERT_TRUE(fs::WriteFile(L"C:\\Open\\~bvstartup-probe0.tmp", "someone's"));
    view_.questions_.messages.clear();
    view_.SetText(Ctl::edInstallFolder, L"C:\\Open");
    form_.OnClick(Ctl::btnNext1);
    EXPECT_EQ(view_.ActivePage(), Ctl::tbSelectLangfiles);
    EXPECT_TRUE(view_.questions_.messages.empty());
    EXPECT_EQ(form_.InstallFolder, L"C:\\Open\\");
    EXPECT_TRUE(checked);
    std::vector<std::wstring> files = fs::FindFiles(L"C:\\Open", L"*");
    std::sort(files.begin(), files.end());
    // The music file is the one fetch the page makes.
    EXPECT_EQ(files, (std::vector<std::wstring>{L"ipanema.mid", L"~bvstartup-probe0.tmp"}));
    EXPECT_EQ(fs::ReadFile(L"C:\\Open\\~bvstartup-probe0.tmp").value(), "someone's");
    DeepLogging = false;
    ResetLogForTesting();
}

// ---- The unattended mode's options ----

TEST(UnattendedOptionsTest, EveryOptionIsReadAndEveryProblemNamed) {
    struct Case {
        std::vector<std::wstring> params;
        bool enabled;
        std::optional<int> language, sire, program;
        int retries;
        std::vector<std::wstring> problems;
    };
    const std::optional<int> none;
    const Case cases[] = {
        {{L"--auto"}, true, none, none, none, 0, {}},
        {{L"--auto", L"--language=ita", L"--sire=ita", L"--program=2"}, true, 2, 3, 2, 0, {}},
        {{L"--auto", L"--language=SPA", L"--sire=NONE", L"--program=5", L"--retries=20"}, true, 1, 6, 5, 20, {}},
        {{L"--language=est", L"--sire=cdn"}, false, 12, 1, none, 0, {}},
        {{L"--auto", L"--retries=0", L"--retries=2147483647"}, true, none, none, none, 2147483647, {}},
        // The switches keep their own rules, other parameters are not options,
        // and the vendor host is the web module's to read.
        {{L"-L", L"-Debug", L"/D", L"-language=xx", L"C:\\BV500", L"--vendor-host=h:81", L"--auto"}, true, none, none,
         none, 0, {}},
        // A misspelt option is named; what was read stays read.
        {{L"--auto", L"--folder=C:\\TYPO", L"--langauge=ita", L"--sire=ita", L"--program=0"}, true, none, 3, 0, 0,
         {L"unknown option --langauge=ita"}},
        // A problem before --auto counts as much as one after it, and each
        // is named, in order.
        {{L"-L", L"--language=xx", L"--auto"}, true, none, none, none, 0,
         {L"unknown language 'xx' (one of: eng spa ita ger fra rus dut por chn pol cze svk est)"}},
        {{L"--program=6", L"--D", L"--sire=fra", L"--auto", L"--retries=-1"}, true, none, none, none, 0,
         {L"unknown program '6' (0 to 5)", L"unknown option --D",
          L"unknown sire file 'fra' (one of: usa cdn ger ita gbr alt none)",
          L"the option --retries= takes a number of times, 0 or more: --retries=-1"}},
        {{L"--auto", L"--program=-1", L"--program=x", L"--retries=2147483648", L"--retries=1x"}, true, none, none, none, 0,
         {L"unknown program '-1' (0 to 5)", L"unknown program 'x' (0 to 5)",
          L"the option --retries= takes a number of times, 0 or more: --retries=2147483648",
          L"the option --retries= takes a number of times, 0 or more: --retries=1x"}},
        // An option without its value (perhaps lost to a blank), or with an
        // empty one, and a value where none is taken.
        {{L"--auto", L"--folder", L"--folder=", L"--language=", L"--auto=yes", L"--", L"--Folder=C:\\X"}, true, none,
         none, none, 0,
         {L"the option --folder= needs a value: --folder", L"the option --folder= needs a value: --folder=",
          L"the option --language= needs a value: --language=", L"the option --auto takes no value: --auto=yes",
          L"unknown option --", L"unknown option --Folder=C:\\X"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.params));
        UnattendedOptions o;
        EXPECT_EQ(ParseUnattended(c.params, o), c.problems);
        EXPECT_EQ(o.enabled, c.enabled);
        EXPECT_EQ(o.language, c.language);
        EXPECT_EQ(o.sire, c.sire);
        EXPECT_EQ(o.program, c.program);
        EXPECT_EQ(o.retries, c.retries);
    }
    UnattendedOptions o;
    EXPECT_TRUE(ParseUnattended({L"--folder=C:\\BV500"}, o).empty());
    EXPECT_EQ(o.folder, std::optional<std::wstring>(L"C:\\BV500"));
}

std::string ReadAll(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) s += buf;
    std::fclose(f);
    return s;
}

// Choices left out are left to the pages, as a user who only presses Next
// leaves them: the Italian language brings the Italian sire file and its
// archive, a folder named for ZOVozivu brings that program; a choice given
// wins over the page's.
TEST_F(WizardLogic, UnattendedLeavesOmittedChoicesToThePages) {
    struct Case {
        std::vector<std::wstring> params;
        std::vector<std::wstring> requested;
        std::string told;  // on standard output
    };
    const Case cases[] = {
        {{L"--folder=C:\\A"}, {L"ipanema.mid", L"zoded.___", L"bvsires.usa", L"basefiles.zip"},
         "language file: ENG English\nsire file: USA  USA\ninstalling Bovista\n"},
        {{L"--language=ita", L"--folder=C:\\B"},
         {L"ipanema.mid", L"zoded.___", L"bvlang.ita", L"bvsires.ita", L"basefiles_ita.zip"},
         "language file: ITA Italiano\nsire file: ITA Italiano\ninstalling Bovista\n"},
        {{L"--language=ita", L"--sire=gbr", L"--folder=C:\\C"},
         {L"ipanema.mid", L"zoded.___", L"bvlang.ita", L"bvsires.gbr", L"basefiles.zip"}, "sire file: GBR Great Britain\n"},
        {{L"--folder=C:\\Farm\\ZOVozivu"},
         {L"ipanema.mid", L"zovozivu.___", L"ruvuvevu.___", L"bvsires.usa", L"basefiles.zip"}, "installing ZOVozivu\n"},
        {{L"--folder=C:\\Farm\\ZOVozivu2", L"--program=0"},
         {L"ipanema.mid", L"zoded.___", L"bvsires.usa", L"basefiles.zip"}, "installing Bovista\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.params));
        // Each run ends by closing its window, so each has a window of its own.
        requested_.clear();
        view_.closed = false;
        view_.SetEnabled(Ctl::btnFinish, false);
        TMainF form{view_};
        Wire(form);
        form.FormShow();
        view_.SetItemIndex(Ctl::rgSireFiles, 0);
        UnattendedOptions options;
        std::vector<std::wstring> args = c.params;
        args.push_back(L"--auto");
        ASSERT_TRUE(ParseUnattended(args, options).empty());
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Unattended run(form, options, out, err);
        run.Start();
        for (int tick = 0; tick < 8 && !view_.closed; ++tick) form.OnTimer();
        std::string o = ReadAll(out), e = ReadAll(err);
        EXPECT_EQ(run.ExitCode(), kExitInstalled) << o << e;
        EXPECT_EQ(requested_, c.requested);
        EXPECT_NE(o.find(c.told), std::string::npos) << o;
    }
    view_.Attach(form_);
}

// --retries: after a stall the file is tried again, as Retry does, after
// waits of 1, 2 ... seconds, each retry told; a file that arrives at last
// lets the batch finish with status 0, without fetching the saved files
// again. A file that still fails after the last retry ends the run with
// status 4, and what the failed file left is removed. Without --retries the
// first stall ends the run.
TEST_F(WizardLogic, UnattendedRetriesTheStalledFile) {
    struct Case {
        const wchar_t* retries;
        int failures;  // how often bvsires.usa fails before it arrives
        int exitCode;
        std::vector<std::wstring> requested;
        std::vector<std::string> told;
    };
    const std::vector<std::wstring> once{L"ipanema.mid", L"zoded.___", L"bvsires.usa"};
    const Case cases[] = {
        {L"--retries=3", 2, kExitInstalled,
         {L"ipanema.mid", L"zoded.___", L"bvsires.usa", L"bvsires.usa", L"bvsires.usa", L"basefiles.zip"},
         {"retry 1 of 3 in 1 s: C:\\R\\bvsires.usa\n", "retry 2 of 3 in 2 s: C:\\R\\bvsires.usa\n",
          "Install complete"}},
        {L"--retries=1", 5, kExitStalled, {L"ipanema.mid", L"zoded.___", L"bvsires.usa", L"bvsires.usa"},
         {"retry 1 of 1 in 1 s: C:\\R\\bvsires.usa\n"}},
        {L"--retries=0", 5, kExitStalled, once, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.retries)));
        (void)fs::RemoveFile(L"C:\\R\\ipanema.mid");
        requested_.clear();
        view_.closed = false;
        view_.SetEnabled(Ctl::btnFinish, false);
        TMainF form{view_};
        Wire(form);
        int failures = c.failures;
        std::vector<std::wstring> discarded;
        form.Services.DownloadToFile = [&](const std::wstring& url, const std::wstring& path) {
            std::wstring name = url.substr(url.find_last_of(L'/') + 1);
            requested_.push_back(name);
            if (name == L"bvsires.usa" && failures > 0) {
                --failures;
                return false;
            }
            return fs::WriteFile(path, "data").ok();
        };
        form.Services.DiscardPartial = [&](const std::wstring& path) { discarded.push_back(path); };
        form.FormShow();
        UnattendedOptions options;
        ASSERT_TRUE(ParseUnattended({L"--auto", L"--folder=C:\\R", L"--program=0", c.retries}, options).empty());
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Unattended run(form, options, out, err);
        run.Start();
        for (int tick = 0; tick < 8 && !view_.closed; ++tick) form.OnTimer();
        if (!view_.closed) form.OnClose();
        std::string o = ReadAll(out), e = ReadAll(err);
        EXPECT_EQ(run.ExitCode(), c.exitCode) << o << e;
        EXPECT_EQ(requested_, c.requested);
        for (const std::string& text : c.told) EXPECT_NE(o.find(text), std::string::npos) << text << "\n" << o;
        if (c.exitCode == kExitStalled) {
            EXPECT_NE(e.find("the download stalled"), std::string::npos) << e;
            EXPECT_EQ(discarded, std::vector<std::wstring>{L"C:\\R\\bvsires.usa"});
        } else {
            EXPECT_TRUE(discarded.empty());
        }
        if (c.told.empty()) {
            EXPECT_EQ(o.find("retry"), std::string::npos) << o;
        }
    }
    view_.Attach(form_);
}

}  // namespace
}  // namespace bv
