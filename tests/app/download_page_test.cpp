// The download page against servers of the test's own, with the program's
// own plain GET: the page is painted while a slow first file is still
// arriving; a close asked during that file ends the wizard after it, without
// a request for the next one; and a long failure text on the status panel
// keeps its start and its end.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/system_services.h"
#include "platform/fs.h"
#include "platform/text_lines.h"
#include "tests/app/keys.h"
#include "tests/app/screenshot.h"
#include "tests/app/wizard_fixture.h"
#include "tests/web/script_server.h"
#include "tests/wine_util.h"
#include "transfer/notify.h"

namespace bv {
namespace {

using test::Answer;
using test::ScriptServer;
using test::Wizard;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring Root() { return L"C:\\bvpage-" + std::to_wstring(GetCurrentProcessId()); }

// An installation folder that already holds the music file, so that the
// server's first request is the batch's first file.
std::wstring Folder(const std::wstring& name) {
    std::wstring folder = Root() + L"\\" + name;
    std::filesystem::remove_all(std::filesystem::path(folder));
    EXPECT_TRUE(fs::ForceDirectories(folder));
    EXPECT_TRUE(fs::WriteFile(folder + L"\\" + kMusicFileName, "tune"));
    return folder;
}

// A wizard with the program's services, downloading from `base`; "-P" skips
// the connection check. Without the vendor's key: the scripted servers
// answer the downloads, not a signed list.
std::unique_ptr<Wizard> Open(const std::wstring& base, std::vector<std::wstring> params = {}, UINT timerMs = 4000) {
    params.push_back(L"-P");
    return std::make_unique<Wizard>(
        params,
        [base](TMainF& f) {
            UseSystemServices(f, std::nullopt);
            f.Services.GetServerBaseURL = [base] { return base; };
        },
        timerMs);
}

std::wstring Base(uint16_t port) { return L"http://127.0.0.1:" + std::to_wstring(port) + L"/bvfiles/bvstartup/"; }

// Walks to the program page and checks `program`; Install is the caller's.
void ToProgramPage(Wizard& w, const std::wstring& folder, int program) {
    w.window.SetText(Ctl::edInstallFolder, folder);
    w.Click(Ctl::btnNext1);
    ASSERT_EQ(w.window.ActivePage(), Ctl::tbSelectLangfiles);
    w.Click(Ctl::btnNext3);
    w.Click(Ctl::btnNext4);
    ASSERT_EQ(w.window.ActivePage(), Ctl::tbProgram);
    w.window.SetItemIndex(Ctl::rgProgram, program);
}

// A first file that takes `tenths` tenths of a second: a block of 2 KB every
// 100 ms (well within the download's 3 s read timeout).
test::Script SlowFile(int tenths) {
    return Answer("200 OK", {"Content-Type: application/octet-stream"}, std::string(size_t(tenths) * 2048, 'z'), 2048,
                  100);
}

// Waits until the server has accepted its first connection and `ms` more.
bool WaitIntoFirstFile(const ScriptServer& server, int ms) {
    for (int i = 0; i < 1000 && server.connections() == 0; ++i) Sleep(10);
    if (server.connections() == 0) return false;
    Sleep(static_cast<DWORD>(ms));
    return true;
}

// A control's rectangle in the pixels of a window capture.
RECT InCapture(Wizard& w, ui::ControlId ctl) {
    HWND main = w.window.Handle(Ctl::MainF);
    RECT r, window;
    GetWindowRect(w.window.Handle(ctl), &r);
    GetWindowRect(main, &window);
    OffsetRect(&r, -window.left, -window.top);
    return r;
}

bool Dark(uint32_t rgb) { return ((rgb >> 16) & 0xFF) < 128 && ((rgb >> 8) & 0xFF) < 128 && (rgb & 0xFF) < 128; }

// The smallest rectangle holding every dark pixel of `area`; empty when none.
RECT DarkBounds(const test::Pixels& px, RECT area) {
    RECT box{area.right, area.bottom, area.left, area.top};
    for (int y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, px.height); ++y)
        for (int x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, px.width); ++x)
            if (Dark(px.at(x, y))) {
                box.left = std::min<LONG>(box.left, x);
                box.top = std::min<LONG>(box.top, y);
                box.right = std::max<LONG>(box.right, x + 1);
                box.bottom = std::max<LONG>(box.bottom, y + 1);
            }
    return box;
}

bool SamePixels(const test::Pixels& a, const test::Pixels& b, RECT area) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (a.at(x, y) != b.at(x, y)) return false;
    return true;
}

test::Pixels PaintAndCapture(Wizard& w, const std::string& file) {
    HWND main = w.window.Handle(Ctl::MainF);
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    w.window.PumpMessages();
    std::filesystem::create_directories("screenshots");
    EXPECT_TRUE(test::SaveWindowPng(main, file)) << file;
    return test::CaptureWindow(main);
}

class DownloadPage : public testing::Test {
protected:
    void SetUp() override {
        Notify.Init(NotifyCode::KeepList);
        Notify.Init(NotifyCode::Idle);
    }
    void TearDown() override { std::filesystem::remove_all(std::filesystem::path(Root())); }
};

// While the first file is still arriving, the window's thread is held by
// the download; a screenshot taken from another thread then shows the
// download page as it is painted at rest: its header, its memo line and its
// Finish button, not the program page it left.
TEST_F(DownloadPage, IsPaintedWhileTheFirstFileIsStillArriving) {
    ScriptServer server({SlowFile(25), Answer("404 Not Found", {}, "none")});
    auto w = Open(Base(server.port()));
    ToProgramPage(*w, Folder(L"Painted"), 0);
    HWND main = w->window.Handle(Ctl::MainF);

    test::Pixels during;
    bool stillArriving = false;
    std::thread camera([&] {
        if (!WaitIntoFirstFile(server, 800)) return;
        during = test::CaptureWindow(main);
        stillArriving = server.closeTimes().empty();
        std::filesystem::create_directories("screenshots");
        test::SaveWindowPng(main, "screenshots/download-while-arriving.png");
    });
    {
        test::Watchdog dog("the slow first file", 30);
        w->Click(Ctl::btnNext5);  // returns when the first file is in and the second refused
    }
    camera.join();
    ASSERT_FALSE(during.rgb.empty()) << "no connection came";
    EXPECT_TRUE(stillArriving) << "the screenshot came after the first file";
    EXPECT_EQ(server.requests().size(), 1u);

    test::Pixels rest = PaintAndCapture(*w, "screenshots/download-at-rest.png");
    EXPECT_TRUE(SamePixels(during, rest, InCapture(*w, Ctl::Panel6))) << "the page's header";
    EXPECT_TRUE(SamePixels(during, rest, InCapture(*w, Ctl::btnFinish))) << "the Finish button";
    // The memo's first line (the caret may stand at its end while the file
    // arrives): its text starts where it does at rest and is as wide.
    RECT memo = InCapture(*w, Ctl::memDownload);
    RECT firstLine{memo.left + 2, memo.top + 2, memo.right - GetSystemMetrics(SM_CXVSCROLL) - 2, memo.top + 2 + 16};
    RECT textDuring = DarkBounds(during, firstLine), textAtRest = DarkBounds(rest, firstLine);
    ASSERT_LT(textAtRest.left, textAtRest.right) << "no memo line at rest";
    EXPECT_EQ(textDuring.left, textAtRest.left);
    EXPECT_NEAR(textDuring.right, textAtRest.right, 3);
    EXPECT_EQ(w->window.Lines(Ctl::memDownload).front(), L"Downloading " + Root() + L"\\Painted\\ZODed.___ ...");
}

// Presses keys at the X display with xkeys.py, as a user at its keyboard
// does; true when they were sent. A Unix program started from Wine gives no
// process handle, so the script writes its exit status to a file.
bool PressAtDisplay(const std::wstring& chord) {
    const std::string done = std::string(BV_TEST_BINARY_DIR) + "/xkeys-" + std::to_string(GetCurrentProcessId());
    const std::wstring doneFile = test::HostToWine(done);
    DeleteFileW(doneFile.c_str());
    const std::string script = BV_XKEYS_SCRIPT;
    std::wstring cmd = L"\"" + test::HostToWine(BV_PYTHON) + L"\" \"" + std::wstring(script.begin(), script.end()) +
                       L"\" --done \"" + std::wstring(done.begin(), done.end()) + L"\" " + chord;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
    for (int i = 0; i < 1000; ++i) {
        Result<std::string> status = fs::ReadFile(doneFile);
        if (status) {
            DeleteFileW(doneFile.c_str());
            return status.value() == "0\n";
        }
        Sleep(10);
    }
    return false;
}

// A close asked while the first file arrives is taken when that file is in,
// before the timer's tick (already due) starts another: the server is never
// asked for a second file and the message loop ends at once. The close comes
// as Alt+F4 at the X display, which the window reads only once it is free,
// and as Windows input, which is queued at once.
TEST_F(DownloadPage, ACloseDuringTheFirstFileEndsTheWizardAfterIt) {
    struct Way {
        const char* name;
        bool atDisplay;
    };
    for (const Way& way : {Way{"Alt+F4 at the X display", true}, Way{"Alt+F4 as Windows input", false}}) {
        SCOPED_TRACE(way.name);
        // Six seconds, so the close is surely sent (a program started at
        // the X display may take a while on a busy machine) before it ends.
        ScriptServer server({SlowFile(60), Answer("200 OK", {}, "data")});
        Clock::time_point serverStart = Clock::now();
        // A tick every 300 ms: one falls due while the first file arrives.
        auto w = Open(Base(server.port()), {}, 300);
        ToProgramPage(*w, Folder(L"Closed"), 0);
        ASSERT_EQ(GetForegroundWindow(), w->window.Handle(Ctl::MainF));

        int64_t closeAskedMs = -1;
        bool sent = false;
        std::thread closer([&] {
            if (!WaitIntoFirstFile(server, 500)) return;
            if (way.atDisplay) {
                sent = PressAtDisplay(L"Alt_L+F4");
            } else {
                test::SendKey(VK_F4, {VK_MENU});
                sent = true;
            }
            closeAskedMs = MsSince(serverStart);
        });
        // Install, pressed once the program's message loop runs.
        PostMessageW(w->window.Handle(Ctl::btnNext5), BM_CLICK, 0, 0);
        {
            test::Watchdog dog(std::string("the close during the first file: ") + way.name, 30);
            w->window.RunMessageLoop();
        }
        int64_t loopEndedMs = MsSince(serverStart);
        closer.join();
        ASSERT_TRUE(sent) << "the close was not sent";

        EXPECT_TRUE(w->window.Destroyed());
        std::vector<std::string> requests = server.requests();
        std::string asked;
        for (const std::string& r : requests) asked += r.substr(0, r.find("\r\n")) + "\n";
        ASSERT_EQ(requests.size(), 1u) << "the server was asked for:\n" << asked;
        EXPECT_EQ(requests[0].rfind("GET /bvfiles/bvstartup/zoded.___ ", 0), 0u) << requests[0];
        std::vector<int64_t> closes = server.closeTimes();
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_LT(closeAskedMs, closes[0]) << "the close was asked after the first file";
        EXPECT_LT(loopEndedMs - closes[0], 1000) << "the wizard did not end at the first free moment";
        EXPECT_EQ(w->form.Batchlist, nullptr);
    }
}

// A download that fails for good names its whole address on the status
// panel: the text is laid out on the panel's lines above the bar, its start
// and its end readable, nothing cut at the panel's edges; the window text and
// the log keep it whole.
TEST_F(DownloadPage, ALongFailureTextKeepsItsStartOnTheStatusPanel) {
    const std::wstring base = Base(ScriptServer::UnusedPort());
    auto w = Open(base, {L"-L"});
    ToProgramPage(*w, Folder(L"Failed"), 1);
    w->Click(Ctl::btnNext5);
    const std::wstring text = L"Failed to download from URL: " + base + L"zovozivu.___";
    ASSERT_EQ(w->window.GetText(Ctl::pnBottom), text);
    ASSERT_TRUE(w->window.IsVisible(Ctl::pb));
    Result<std::string> log = fs::ReadFile(LogFileName());
    ASSERT_TRUE(log);
    std::string logged = "   (logg) " + std::string(text.begin(), text.end()) + "\r\n";
    EXPECT_NE(log.value().find(logged), std::string::npos);

    test::Pixels shot = PaintAndCapture(*w, "screenshots/status-long-failure.png");
    // The lines the panel has room for, as its own font measures them.
    HWND panel = w->window.Handle(Ctl::pnBottom);
    HDC dc = GetDC(panel);
    HGDIOBJ old = SelectObject(dc, static_cast<HFONT>(GetPropW(panel, L"BVFont")));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    RECT client;
    GetClientRect(panel, &client);
    RECT bar;
    GetWindowRect(w->window.Handle(Ctl::pb), &bar);
    MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&bar), 2);
    ui::FitCount fit = [dc](std::wstring_view piece, int width) -> size_t {
        int fits = 0;
        SIZE size{};
        GetTextExtentExPointW(dc, piece.data(), static_cast<int>(piece.size()), width, &fits, nullptr, &size);
        return static_cast<size_t>(fits);
    };
    std::vector<std::wstring> lines =
        ui::FitLines(text, client.right - 2 * tm.tmAveCharWidth, bar.top / tm.tmHeight, fit);
    std::vector<int> widths;
    for (const std::wstring& line : lines) {
        SIZE size{};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
        widths.push_back(size.cx);
    }
    SelectObject(dc, old);
    ReleaseDC(panel, dc);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().rfind(L"Failed to download from URL:", 0), 0u);
    EXPECT_EQ(lines.back().substr(lines.back().size() - 12), L"zovozivu.___");

    // On the screen: one band of text per line, each centred and as wide as
    // its text (the ink a little narrower than the letters' advances), none
    // touching the panel's sides.
    RECT area = InCapture(*w, Ctl::pnBottom);
    area.bottom = area.top + bar.top;
    std::vector<RECT> bands;
    for (int y = area.top; y < area.bottom; ++y) {
        RECT row = DarkBounds(shot, RECT{area.left, y, area.right, y + 1});
        bool ink = row.left < row.right;
        if (ink && (bands.empty() || bands.back().bottom < y)) bands.push_back(row);
        if (ink) {
            RECT& band = bands.back();
            band.left = std::min(band.left, row.left);
            band.right = std::max(band.right, row.right);
            band.bottom = y + 1;
        }
    }
    ASSERT_EQ(bands.size(), lines.size());
    for (size_t i = 0; i < bands.size(); ++i) {
        SCOPED_TRACE(std::string(lines[i].begin(), lines[i].end()));
        EXPECT_GT(bands[i].left, area.left);
        EXPECT_LT(bands[i].right, area.right);
        EXPECT_LE(bands[i].right - bands[i].left, widths[i] + 1);
        EXPECT_GE(bands[i].right - bands[i].left, widths[i] - 5);
        EXPECT_NEAR(bands[i].left - area.left, area.right - bands[i].right, 4);
    }
    w.reset();
    (void)fs::RemoveFile(LogFileName());
}

}  // namespace
}  // namespace bv
