// The wizard from the keyboard alone, in the real window: every key is
// synthesised keyboard input that the window reads through its message loop.
// After Next on every page any key is answered and the window still closes;
// a radio group is one tab stop whose arrow keys move its check; Tab leaves
// the memo, where Enter still breaks the line.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/fs.h"
#include "tests/app/keys.h"
#include "tests/app/wizard_fixture.h"
#include "transfer/notify.h"

namespace bv {
namespace {

using test::Wizard;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Presses a key and lets the window handle what is queued, as its message
// loop does; answers how long that took. A window that hangs ends the program.
int64_t Press(Wizard& w, WORD vk, std::initializer_list<WORD> modifiers = {}) {
    test::Watchdog dog("after " + test::KeyName(vk, modifiers), 10);
    Clock::time_point start = Clock::now();
    test::SendKey(vk, modifiers);
    w.window.PumpMessages();
    return MsSince(start);
}

// The control with the focus, a radio item counting as its group.
ui::ControlId Focused(Wizard& w) {
    HWND focus = GetFocus();
    if (!focus) return ui::kNoControl;
    for (const ui::ControlDef& def : WizardLayout()) {
        if (def.kind != ui::Kind::Window && w.window.Handle(def.id) == focus) return def.id;
        for (int i = 0; HWND item = w.window.RadioHandle(def.id, i); ++i)
            if (item == focus) return def.id;
    }
    return ui::kNoControl;
}

std::string Name(ui::ControlId ctl) {
    if (ctl == ui::kNoControl) return "(nothing)";
    std::wstring name = DefOf(ctl).name;
    return std::string(name.begin(), name.end());
}

// The focus is on a control the user can see and use, on the page on show.
bool FocusOnThePage(Wizard& w) {
    HWND focus = GetFocus();
    return focus && IsChild(w.window.Handle(w.window.ActivePage()), focus) && IsWindowVisible(focus) &&
           IsWindowEnabled(focus);
}

// Alt+F4, as a user closes the window: gone within a second.
void ExpectClosesWithinASecond(Wizard& w) {
    int64_t ms = Press(w, VK_F4, {VK_MENU});
    EXPECT_TRUE(w.window.Destroyed());
    EXPECT_LT(ms, 1000);
}

struct PageStep {
    ui::ControlId button, next;  // the page's button, the page it leads to
    ui::ControlId group;         // the radio group of the page it leads to, if any
};
const PageStep kSteps[] = {{Ctl::btnNext1, Ctl::tbSelectLangfiles, Ctl::rgLanguage},
                           {Ctl::btnNext3, Ctl::tbSireFiles, Ctl::rgSireFiles},
                           {Ctl::btnNext4, Ctl::tbProgram, Ctl::rgProgram},
                           {Ctl::btnNext5, Ctl::tbDownload, ui::kNoControl}};

enum class Via { Click, Enter };

// Leaves the first `pages` pages by their buttons: clicked (the click leaves
// the focus on the button, as the mouse does) or pressed with Enter.
void Walk(Wizard& w, int pages, Via via) {
    for (int i = 0; i < pages; ++i) {
        if (via == Via::Click) {
            PostMessageW(w.window.Handle(kSteps[i].button), BM_CLICK, 0, 0);
            test::Watchdog dog("after a click on " + Name(kSteps[i].button), 10);
            w.window.PumpMessages();
        } else {
            Press(w, VK_RETURN);
        }
        ASSERT_EQ(w.window.ActivePage(), kSteps[i].next) << "step " << i;
    }
}

TEST(Keyboard, AfterNextOnEveryPageEveryKeyIsAnsweredAndTheWindowStillCloses) {
    const WORD keys[] = {'I', VK_SPACE, VK_TAB, VK_DOWN, VK_RETURN};
    for (int pages = 1; pages <= 4; ++pages) {
        const PageStep& step = kSteps[pages - 1];
        for (Via via : {Via::Click, Via::Enter}) {
            for (WORD vk : keys) {
                SCOPED_TRACE(Name(step.next) + (via == Via::Click ? ", Next clicked, " : ", Next by Enter, ") +
                             test::KeyName(vk));
                Wizard w({});
                ASSERT_EQ(GetForegroundWindow(), w.window.Handle(Ctl::MainF));
                Walk(w, pages, via);
                if (HasFatalFailure()) return;
                const int checked = step.group == ui::kNoControl ? -1 : w.window.ItemIndex(step.group);
                const std::wstring memo = w.window.GetText(Ctl::memDownload);

                EXPECT_LT(Press(w, vk), 1000);
                ASSERT_FALSE(w.window.Destroyed());
                EXPECT_TRUE(FocusOnThePage(w)) << "focus on " << Name(Focused(w));
                if (step.group != ui::kNoControl) {
                    // A radio page: Enter goes on, Tab reaches the page's
                    // button, Down checks the next item; a letter and Space
                    // leave everything as it was.
                    if (vk == VK_RETURN) {
                        EXPECT_EQ(w.window.ActivePage(), kSteps[pages].next);
                    } else {
                        EXPECT_EQ(w.window.ActivePage(), step.next);
                        EXPECT_EQ(w.window.ItemIndex(step.group), vk == VK_DOWN ? checked + 1 : checked);
                        EXPECT_EQ(Focused(w), vk == VK_TAB ? kSteps[pages].button : step.group);
                    }
                } else {
                    // The download page with the batch stalled (nothing can
                    // be fetched here): Retry has the focus. Space presses
                    // it, which tries the file again and stalls again, with
                    // the focus back on Retry; Tab goes on to the memo while
                    // Finish is disabled; Enter presses only the disabled
                    // default button; a letter and Down change nothing.
                    EXPECT_EQ(w.window.ActivePage(), Ctl::tbDownload);
                    EXPECT_TRUE(w.window.IsVisible(Ctl::btnRetry));
                    EXPECT_EQ(Focused(w), vk == VK_TAB ? Ctl::memDownload : Ctl::btnRetry);
                    std::wstring now = w.window.GetText(Ctl::memDownload);
                    if (vk == VK_SPACE) {
                        EXPECT_GT(now.size(), memo.size());
                        EXPECT_NE(now.find(L"Downloading ", memo.size()), std::wstring::npos);
                    } else {
                        EXPECT_EQ(now, memo);
                    }
                }
                ExpectClosesWithinASecond(w);
            }
        }
    }
}

TEST(Keyboard, TabReachesEachGroupOnceAndAGroupOnItsCheckedItem) {
    Wizard w({});
    struct Cycle {
        ui::ControlId page;
        std::vector<ui::ControlId> stops;  // from the control the page focuses
    };
    const Cycle cycles[] = {
        {Ctl::tbInstallFolder, {Ctl::lbxInstallFolder, Ctl::btnNext1, Ctl::edInstallFolder}},
        {Ctl::tbSelectLangfiles, {Ctl::rgLanguage, Ctl::btnNext3}},
        {Ctl::tbSireFiles, {Ctl::rgSireFiles, Ctl::btnNext4}},
        {Ctl::tbProgram, {Ctl::rgProgram, Ctl::btnNext5}},
    };
    for (const Cycle& c : cycles) {
        SCOPED_TRACE(Name(c.page));
        ASSERT_EQ(w.window.ActivePage(), c.page);
        std::vector<std::string> forward = {Name(Focused(w))}, backward = {Name(Focused(w))};
        for (size_t i = 0; i < c.stops.size(); ++i) {
            Press(w, VK_TAB);
            forward.push_back(Name(Focused(w)));
        }
        for (size_t i = 0; i < c.stops.size(); ++i) {
            Press(w, VK_TAB, {VK_SHIFT});
            backward.push_back(Name(Focused(w)));
        }
        std::vector<std::string> expectForward, expectBackward;
        for (size_t i = 0; i <= c.stops.size(); ++i) {
            expectForward.push_back(Name(c.stops[i % c.stops.size()]));
            expectBackward.push_back(Name(c.stops[(c.stops.size() - i) % c.stops.size()]));
        }
        EXPECT_EQ(forward, expectForward);
        EXPECT_EQ(backward, expectBackward);
        ui::ControlId group = c.stops.front();
        if (DefOf(group).kind == ui::Kind::RadioGroup) {
            EXPECT_EQ(GetFocus(), w.window.RadioHandle(group, w.window.ItemIndex(group)));
        }
        Press(w, VK_RETURN);
    }
}

TEST(Keyboard, ArrowsMoveTheCheckWithinTheGroupAndItsHandlerRuns) {
    Wizard w({});
    Walk(w, 3, Via::Enter);
    ASSERT_TRUE(w.window.HasFocus(Ctl::rgProgram));
    // The program group's handler tells about the ZOVozivu item.
    Press(w, VK_DOWN);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 1);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"Be sure the server is up to date if only installing ZOVozivu.");
    Press(w, VK_DOWN);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 2);
    EXPECT_EQ(w.window.GetText(Ctl::pnBottom), L"");
    Press(w, VK_UP);
    Press(w, VK_UP);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 0);
    // Up from the first item wraps to the last, and stays in the group.
    Press(w, VK_UP);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 5);
    EXPECT_EQ(GetFocus(), w.window.RadioHandle(Ctl::rgProgram, 5));
    Press(w, VK_DOWN);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgProgram), 0);
    // Enter installs the checked program.
    Press(w, VK_DOWN);
    Press(w, VK_DOWN);
    Press(w, VK_DOWN);
    Press(w, VK_RETURN);
    EXPECT_EQ(w.form.ProgIndex, 3);
    ExpectClosesWithinASecond(w);
}

// Other ways the focus could be left where the user cannot reach it: a
// page opened by its tab in test mode (a click on a tab leaves the focus
// where it was, on the page being hidden), and a control with the focus that
// is then hidden or disabled. A key pressed next is answered each time.
TEST(Keyboard, TheFocusLeavesControlsThatAreHiddenOrDisabled) {
    Wizard w({L"-D"});
    HWND tabs = w.window.TabControl();
    // The pages whose tabs show at the window's width, in the order clicked.
    const std::pair<ui::ControlId, int> pages[] = {{Ctl::tbSelectLangfiles, 2}, {Ctl::TabSheet2, 1},
                                                   {Ctl::tbSireFiles, 3}, {Ctl::tbInstallFolder, 0}};
    for (const auto& [page, index] : pages) {
        SCOPED_TRACE(Name(page));
        RECT tab;
        ASSERT_TRUE(SendMessageW(tabs, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&tab)));
        TCHITTESTINFO hit{{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2}, 0};
        ASSERT_EQ(SendMessageW(tabs, TCM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)), index);
        LPARAM at = MAKELPARAM(hit.pt.x, hit.pt.y);
        PostMessageW(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(tabs, WM_LBUTTONUP, 0, at);
        w.window.PumpMessages();
        ASSERT_EQ(w.window.ActivePage(), page);
        EXPECT_TRUE(FocusOnThePage(w)) << "focus on " << Name(Focused(w));
        EXPECT_LT(Press(w, 'I'), 1000);
        EXPECT_LT(Press(w, VK_TAB), 1000);
        EXPECT_TRUE(FocusOnThePage(w)) << "focus on " << Name(Focused(w));
    }
    // The folder page's edit box hidden while it has the focus, then the list.
    ASSERT_TRUE(w.window.SafeFocus(Ctl::edInstallFolder));
    w.window.SetVisible(Ctl::edInstallFolder, false);
    EXPECT_TRUE(FocusOnThePage(w)) << "focus on " << Name(Focused(w));
    EXPECT_LT(Press(w, 'I'), 1000);
    w.window.SetEnabled(Ctl::lbxInstallFolder, false);
    EXPECT_TRUE(FocusOnThePage(w)) << "focus on " << Name(Focused(w));
    EXPECT_EQ(Focused(w), Ctl::btnNext1);
    EXPECT_LT(Press(w, VK_SPACE), 1000);
    EXPECT_EQ(w.window.ActivePage(), Ctl::tbSelectLangfiles);  // Space pressed Next
    ExpectClosesWithinASecond(w);
}

// A whole installation from the keyboard: Down on the language page takes
// the item below English; the batch fetches that language's file; Finish
// takes the focus when it is enabled; in the memo, Tab and Shift+Tab move on.
TEST(Keyboard, DownThenEnterInstallsTheLanguageBelowThePreselectedOne) {
    const std::wstring folder = L"C:\\bvkeys-" + std::to_wstring(GetCurrentProcessId());
    std::filesystem::remove_all(std::filesystem::path(folder));
    std::vector<std::wstring> fetched;
    Wizard w({}, [&](TMainF& f) {
        f.Services.CheckForInternet = [](const std::wstring&, uint32_t) { return true; };
        f.Services.GetServerBaseURL = [] { return std::wstring(L"http://vendor.test/dl/"); };
        f.Services.DownloadToFile = [&](const std::wstring& url, const std::wstring& path) {
            fetched.push_back(url.substr(url.find_last_of(L'/') + 1));
            return fs::WriteFile(path, "data").ok();
        };
    });
    w.window.SetText(Ctl::edInstallFolder, folder);
    Press(w, VK_RETURN);
    ASSERT_EQ(w.window.ActivePage(), Ctl::tbSelectLangfiles);
    EXPECT_EQ(GetFocus(), w.window.RadioHandle(Ctl::rgLanguage, 0));
    Press(w, VK_DOWN);
    EXPECT_EQ(w.window.ItemIndex(Ctl::rgLanguage), 1);
    Press(w, VK_RETURN);
    EXPECT_EQ(w.form.LangExt, L"spa");
    Press(w, VK_RETURN);
    Press(w, VK_RETURN);
    ASSERT_EQ(w.window.ActivePage(), Ctl::tbDownload);
    for (int tick = 0; tick < 10 && !w.window.IsEnabled(Ctl::btnFinish); ++tick) {
        w.window.PumpMessages();
        w.form.NotifyTimerTimer();
    }
    EXPECT_EQ(fetched, (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___", L"bvlang.spa", L"bvsires.usa",
                                                  L"basefiles_spa.zip"}));
    ASSERT_TRUE(w.window.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(w.window.HasFocus(Ctl::btnFinish));

    // The memo is reached and left with Tab and Shift+Tab.
    Press(w, VK_TAB, {VK_SHIFT});
    EXPECT_EQ(Focused(w), Ctl::memDownload);
    Press(w, VK_TAB);
    EXPECT_EQ(Focused(w), Ctl::btnFinish);
    Press(w, VK_TAB);
    EXPECT_EQ(Focused(w), Ctl::memDownload);
    Press(w, VK_TAB, {VK_SHIFT});
    EXPECT_EQ(Focused(w), Ctl::btnFinish);
    Press(w, VK_TAB, {VK_SHIFT});
    ASSERT_EQ(Focused(w), Ctl::memDownload);
    // Enter there breaks the line and leaves the window open.
    const std::vector<std::wstring> lines = w.window.Lines(Ctl::memDownload);
    Press(w, VK_END, {VK_CONTROL});
    Press(w, VK_RETURN);
    ASSERT_FALSE(w.window.Destroyed());
    std::vector<std::wstring> expected = lines;
    expected.push_back(L"");
    EXPECT_EQ(w.window.Lines(Ctl::memDownload), expected);
    EXPECT_EQ(Focused(w), Ctl::memDownload);
    Press(w, VK_TAB);
    EXPECT_EQ(Focused(w), Ctl::btnFinish);
    // Ctrl+Tab moves on as well.
    Press(w, VK_TAB, {VK_SHIFT});
    Press(w, VK_TAB, {VK_CONTROL});
    EXPECT_EQ(Focused(w), Ctl::btnFinish);
    EXPECT_EQ(w.window.Lines(Ctl::memDownload), expected);
    // Enter on Finish ends the wizard.
    Press(w, VK_RETURN);
    EXPECT_TRUE(w.window.Destroyed());
    std::filesystem::remove_all(std::filesystem::path(folder));
}

}  // namespace
}  // namespace bv
