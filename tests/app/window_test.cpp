// The wizard window under Wine: switches, tabs, page routing, the version
// message, the status line, the progress display, the timer's reading of the
// mailbox, and a screenshot of every page.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/fs.h"
#include "tests/app/screenshot.h"
#include "tests/app/wizard_fixture.h"
#include "transfer/notify.h"

namespace bv {
namespace {

using test::Wizard;

const ui::ControlId kPages[] = {Ctl::tbInstallFolder, Ctl::TabSheet2,  Ctl::tbSelectLangfiles,
                      Ctl::tbSireFiles,     Ctl::tbProgram,  Ctl::tbDownload};

// A scratch folder in the build tree as the current directory, so the log
// file lands there.
class InScratchDir {
public:
    explicit InScratchDir(const std::string& name) {
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        previous_ = cwd;
        dir_ = std::filesystem::path(cwd) / ("scratch-" + name);
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        SetCurrentDirectoryW(dir_.wstring().c_str());
    }
    ~InScratchDir() { SetCurrentDirectoryW(previous_.c_str()); }
    std::string LogText() const {
        Result<std::string> bytes = fs::ReadFile(LogFileName());
        return bytes ? bytes.value() : std::string();
    }

private:
    std::wstring previous_;
    std::filesystem::path dir_;
};

TEST(Switches, OnlyTheSecondCharacterOfADashParameterCounts) {
    struct Case {
        std::vector<std::wstring> params;
        bool test, log, skip;
    };
    const Case cases[] = {
        {{L"-d"}, true, false, false},      {{L"-D"}, true, false, false},
        {{L"-Dx"}, true, false, false},     {{L"-Debug"}, true, false, false},
        {{L"D"}, false, false, false},      {{L"/D"}, false, false, false},
        {{L"--D"}, false, false, false},    {{L"-L", L"-P"}, false, true, true},
        {{L"-LP"}, false, true, false},     {{L"-l", L"-p", L"-d"}, true, true, true},
        {{L"--vendor-host=x:8080"}, false, false, false},
        {{}, false, false, false},
    };
    for (const Case& c : cases) {
        InScratchDir dir("switches");
        Wizard w(c.params);
        SCOPED_TRACE(c.params.empty() ? "(none)" : std::string(c.params[0].begin(), c.params[0].end()));
        EXPECT_EQ(TestMode, c.test);
        EXPECT_EQ(DeepLogging, c.log);
        EXPECT_EQ(SkipSwitch, c.skip);
        EXPECT_EQ(w.window.TabsVisible(), c.test);
        EXPECT_EQ(IsWindowVisible(w.window.TabControl()) != FALSE, c.test);
        // The log file exists only with the log switch.
        EXPECT_EQ(std::filesystem::is_empty(std::filesystem::current_path()), !c.log);
    }
}

TEST(Window, StartsOnTheFolderPageWithItsDesignState) {
    Wizard w({});
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbInstallFolder);
    EXPECT_TRUE(IsWindowVisible(w.window.Handle(Ctl::tbInstallFolder)));
    EXPECT_EQ(w.window.GetText(Ctl::lblVersion), L"April 2024 Version");
    EXPECT_EQ(w.window.GetText(Ctl::pnTop), L"Bovista Installer");
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgLanguage), 0);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgSireFiles), 0);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 0);
    EXPECT_FALSE(w.window.IsVisible(Ctl::btMusic));
    EXPECT_FALSE(w.window.IsVisible(Ctl::pb));
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 50);
    EXPECT_FALSE(w.window.IsEnabled(Ctl::btnFinish));
    EXPECT_EQ(w.form.FSireFlag, 255);
    EXPECT_EQ(w.window.GetText(Ctl::btnNext1), L"Next    ");
    EXPECT_EQ(w.window.GetText(Ctl::btnNext5), L"Install");
    EXPECT_EQ(w.window.Items(Ctl::rgLanguage).size(), 13u);
    EXPECT_EQ(w.window.Items(Ctl::rgLanguage)[1], L"SPA Espa\u00f1ol");
    EXPECT_EQ(w.window.Items(Ctl::rgSireFiles)[0], L"USA  USA");
    EXPECT_EQ(w.window.Items(Ctl::rgProgram)[2], L"Bovista + ZOVozivu");
    // The client area is the designed 435 by 491 at 96 dots per inch.
    RECT client;
    GetClientRect(w.window.Handle(Ctl::MainF), &client);
    EXPECT_EQ(client.right, 435);
    EXPECT_EQ(client.bottom, 491);
    EXPECT_EQ(w.window.GetText(Ctl::MainF), L"");
}

TEST(Window, TestModeShowsEveryTabCaptionedWithItsPageName) {
    Wizard w({L"-D"});
    HWND tabs = w.window.TabControl();
    ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 6);
    const wchar_t* names[] = {L"tbInstallFolder", L"TabSheet2", L"tbSelectLangfiles",
                              L"tbSireFiles",     L"tbProgram", L"tbDownload"};
    for (int i = 0; i < 6; ++i) {
        wchar_t buf[64] = L"";
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = buf;
        item.cchTextMax = 64;
        SendMessageW(tabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(buf, names[i]);
    }
    // A tab opens its page, in any order.
    SendMessageW(tabs, TCM_SETCURSEL, 1, 0);
    NMHDR hdr{tabs, 0, static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(w.window.Handle(Ctl::MainF), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&hdr));
    EXPECT_EQ(w.window.ActivePage(), Ctl::TabSheet2);
    EXPECT_TRUE(IsWindowVisible(w.window.Handle(Ctl::Button1)));
    EXPECT_EQ(w.window.GetText(Ctl::Edit1), L"bvlang.pol");
}

TEST(Window, NextButtonsWalkThePagesInOrder) {
    Wizard w({});
    struct Step {
        ui::ControlId button, expected;
    };
    const Step steps[] = {{Ctl::btnNext1, Ctl::tbSelectLangfiles},
                          {Ctl::btnNext3, Ctl::tbSireFiles},
                          {Ctl::btnNext4, Ctl::tbProgram},
                          {Ctl::btnNext5, Ctl::tbDownload}};
    for (const Step& s : steps) {
        w.Click(s.button);
        EXPECT_EQ(w.window.ActivePage(), s.expected);
        EXPECT_TRUE(IsWindowVisible(w.window.Handle(s.expected)));
        for (ui::ControlId other : kPages) {
            if (other != s.expected) {
                EXPECT_FALSE(IsWindowVisible(w.window.Handle(other)));
            }
        }
    }
    // A button that is not a page button changes nothing.
    w.form.NextButtons(Ctl::btMusic);
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbDownload);
}

TEST(Window, InstallTakesTheProgramChoice) {
    Wizard w({L"-D"});
    w.window.ShowPage(Ctl::tbProgram);
    SendMessageW(w.window.RadioHandle(Ctl::rgProgram, 4), BM_CLICK, 0, 0);
    w.window.PumpMessages();
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 4);
    w.Click(Ctl::btnNext5);
    EXPECT_EQ(w.form.ProgIndex, 4);
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbDownload);
}

TEST(Window, EnterPressesThePageButtonButNotInTheMemo) {
    Wizard w({L"-D"});
    w.window.ShowPage(Ctl::tbSireFiles);
    MSG enter{w.window.RadioHandle(Ctl::rgSireFiles, 2), WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_TRUE(w.window.PreTranslate(enter));
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbProgram);
    w.window.ShowPage(Ctl::tbDownload);
    MSG inMemo{w.window.Handle(Ctl::memDownload), WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_FALSE(w.window.PreTranslate(inMemo));
    MSG other{w.window.Handle(Ctl::memDownload), WM_KEYDOWN, 'A', 0, 0, {0, 0}};
    EXPECT_FALSE(w.window.PreTranslate(other));
    // Finish is disabled: Enter on its page presses nothing.
    MSG onPage{w.window.Handle(Ctl::btMusic), WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_TRUE(w.window.PreTranslate(onPage));
    EXPECT_FALSE(w.window.Destroyed());
}

TEST(Window, BannerDoubleClickShowsTheVersionAndNothingElse) {
    Wizard w({});
    w.Click(Ctl::btnNext1);
    SendMessageW(w.window.Handle(Ctl::pnTop), WM_LBUTTONDBLCLK, 0, MAKELPARAM(200, 20));
    w.window.PumpMessages();
    EXPECT_EQ(w.questions.messages, std::vector<std::wstring>{L"Version 2 April 2024"});
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbSelectLangfiles);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"");
}

TEST(Window, StatusLineIsShownAndLogged) {
    InScratchDir dir("status");
    Wizard w({L"-L"});
    w.form.ShowStatus(L"Hello there");
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"Hello there");
    w.form.ShowStatus(L"");
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"");
    std::string log = dir.LogText();
    EXPECT_NE(log.find(":     (logg) Hello there\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(":     (logg) \r\n"), std::string::npos) << log;
}

TEST(Window, ProgressMovesOnEveryHundredthBlockOfTheRun) {
    InScratchDir dir("progress");
    Wizard w({L"-L"});
    w.form.ShowStatus(L"before");
    for (int i = 1; i <= 99; ++i) w.form.ShowProgress(nullptr, 0, i * 1000);
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 50);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"before");
    w.form.ShowProgress(nullptr, 0, 102400 + 1023);
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 1);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"100 KB");
    // The counters live for the whole run: a new file goes on from there.
    for (int i = 0; i < 100; ++i) w.form.ShowProgress(nullptr, 0, 5 * 1024);
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 2);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"5 KB");
    // After 100 steps the bar wraps from 100 back to 1.
    for (int i = 0; i < 98 * 100; ++i) w.form.ShowProgress(nullptr, 0, 1);
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 100);
    for (int i = 0; i < 100; ++i) w.form.ShowProgress(nullptr, 0, 1);
    EXPECT_EQ(w.window.ProgressPosition(Ctl::pb), 1);
    // The KB text is not logged.
    EXPECT_EQ(dir.LogText().find("KB"), std::string::npos);

    // The bar is lime on white.
    w.window.SetVisible(Ctl::pb, true);
    for (int i = 0; i < 50 * 100; ++i) w.form.ShowProgress(nullptr, 0, 1);
    HWND bar = w.window.Handle(Ctl::pb);
    RECT r;
    GetClientRect(bar, &r);
    HDC dc = GetDC(bar);
    COLORREF filled = GetPixel(dc, r.right / 4, r.bottom / 2);
    COLORREF empty = GetPixel(dc, r.right * 3 / 4, r.bottom / 2);
    ReleaseDC(bar, dc);
    EXPECT_EQ(filled, RGB(0, 255, 0));
    EXPECT_EQ(empty, RGB(255, 255, 255));
}

TEST(Window, TimerActsOnTheMailboxAndResetsIt) {
    Wizard w({});
    // Every "next file" the timer starts is a request for the batch's front entry.
    int nextCalls = 0;
    w.form.Services.DownloadToFile = [&](const std::wstring&, const std::wstring&) {
        ++nextCalls;
        return false;
    };
    w.form.InstallFolder = L"C:\\X\\";
    for (int i = 0; i < 5; ++i) w.form.Batchlist->push_back({L"f.___", L"F.___"});

    // A running status is shown on every tick until the next reset.
    Notify.Init(NotifyCode::Download);
    Notify.SetStatus(L"2048 bytes");
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"2048 bytes");
    w.window.SetText(Ctl::pnBottom, L"");
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"2048 bytes");
    EXPECT_EQ(nextCalls, 0);

    // A saved file: its line is shown and the next file starts (and fails
    // here, which leaves Download with "Not saved: " and the flag down).
    Notify.AddLine(L"Saved to C:\\BV500\\ZODed.___");
    Notify.SetReady(true);
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"Saved to C:\\BV500\\ZODed.___");
    EXPECT_EQ(nextCalls, 1);
    TNotify::Fields f = Notify.Read();
    EXPECT_EQ(f.nfCode, NotifyCode::Download);
    EXPECT_FALSE(f.nfReady);
    EXPECT_EQ(f.nfReturnList, std::vector<std::wstring>{L"Not saved: C:\\X\\F.___"});
    // A stalled batch: no tick starts anything any more.
    w.form.NotifyTimerTimer();
    EXPECT_EQ(nextCalls, 1);

    // The music file's notice starts nothing and shows nothing.
    w.window.SetText(Ctl::pnBottom, L"");
    Notify.Init(NotifyCode::Download);
    Notify.Post({L"Saved to C:\\BV500\\ipanema.mid"});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"");
    EXPECT_EQ(nextCalls, 1);

    // A result arriving under Idle is dropped.
    Notify.Post({L"ResponseAbort"});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"");
    EXPECT_FALSE(Notify.Read().nfReady);

    // A failed answer that then breaks: both lines, in order, under Download.
    Notify.Init(NotifyCode::Download);
    Notify.Post({L"Failed", L"ResponseAbort"});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"ResponseAbort");
    EXPECT_EQ(nextCalls, 2);

    // Hello: one message box with every line; FileList: count, then each line;
    // FileSent: "File Sent ".
    Notify.Init(NotifyCode::Hello);
    Notify.Post({L"pong", L"v2"});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.questions.messages, std::vector<std::wstring>{L"Successful : pong\r\nv2\r\n"});
    Notify.Init(NotifyCode::FileList);
    Notify.Post({L"a.dat", L"b.dat"});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"b.dat");
    Notify.Init(NotifyCode::FileSent);
    Notify.Post({});
    w.form.NotifyTimerTimer();
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"File Sent ");
    EXPECT_EQ(nextCalls, 2);
}

// Another program holding the log open without sharing: the line is lost,
// the caller never knows, and the next call after the lock appends again.
TEST(Log, ALockedFileLosesTheLineOnly) {
    InScratchDir dir("locked");
    test::ResetProcessState();
    DeepLogging = true;
    WriteLog(L"first");
    HANDLE lock = CreateFileW(LogFileName().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    WriteLog(L"while locked");
    CloseHandle(lock);
    WriteLog(L"after");
    std::string log = dir.LogText();
    test::ResetProcessState();
    EXPECT_NE(log.find(":  first\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("while locked"), std::string::npos) << log;
    EXPECT_NE(log.find(":  after\r\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

TEST(Window, SafeFocusNeedsAVisibleEnabledControl) {
    Wizard w({});
    // The folder page's list took the focus when the page was shown.
    ASSERT_EQ(GetForegroundWindow(), w.window.Handle(Ctl::MainF));
    EXPECT_TRUE(w.window.HasFocus(Ctl::lbxInstallFolder));
    EXPECT_TRUE(w.window.SafeFocus(Ctl::edInstallFolder));
    EXPECT_TRUE(w.window.HasFocus(Ctl::edInstallFolder));
    EXPECT_FALSE(w.window.SafeFocus(Ctl::btnFinish));  // on a hidden page, and disabled
    EXPECT_FALSE(w.window.SafeFocus(Ctl::btMusic));
    EXPECT_FALSE(w.window.SafeFocus(Ctl::MediaPlayer1));
}

TEST(Window, FinishClosesTheWindowAndLogsIt) {
    InScratchDir dir("finish");
    Wizard w({L"-L", L"-D"});
    w.window.ShowPage(Ctl::tbDownload);
    w.window.SetEnabled(Ctl::btnFinish, true);
    w.Click(Ctl::btnFinish);
    EXPECT_TRUE(w.window.Destroyed());
    EXPECT_EQ(w.form.Batchlist, nullptr);
    std::string log = dir.LogText();
    EXPECT_EQ(log.substr(log.size() - 34), ":  Closing form and application.\r\n");
}

TEST(Window, ScreenshotOfEveryPage) {
    Wizard w({L"-D"});
    std::filesystem::create_directories("screenshots");
    for (ui::ControlId page : kPages) {
        w.window.ShowPage(page);
        if (page == Ctl::tbDownload) {
            w.window.AddLine(Ctl::memDownload, L"Downloading C:\\BV500\\ZODed.___ ...");
            w.window.SetVisible(Ctl::pb, true);
            w.window.SetVisible(Ctl::btMusic, true);
        }
        RedrawWindow(w.window.Handle(Ctl::MainF), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        w.window.PumpMessages();
        std::wstring name = DefOf(page).name;
        std::string file = "screenshots/" + std::string(name.begin(), name.end()) + ".png";
        EXPECT_TRUE(test::SaveWindowPng(w.window.Handle(Ctl::MainF), file)) << file;
        EXPECT_GT(std::filesystem::file_size(file), 1000u);
    }
}

}  // namespace
}  // namespace bv
