// The wizard's handlers natively, over the in-memory view and a scratch
// drive C:, so a whole installation runs under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "app/MainU.h"
#include "app/layout.h"
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
        view_.Attach(form_);
        WizardServices& s = form_.Services;
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
        form_.ParamsHook = [] { return std::vector<std::wstring>{}; };
        form_.FormCreate();
        module_ = std::make_unique<TdmClient>();
        form_.FormShow();
    }
    void TearDown() override { module_.reset(); }

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

}  // namespace
}  // namespace bv
