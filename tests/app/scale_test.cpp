// The window at the display's scale: at 96 dots per inch in this process,
// and at 144 (150 %) in a second run of this program started with the
// display's setting raised for it alone. Places, sizes, texts and pictures
// are checked against the design scaled by the same factor; screenshots of
// both land in the build tree.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/app/screenshot.h"
#include "tests/app/wizard_fixture.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace bv {
namespace {

using test::Wizard;
using ui::Kind;

constexpr wchar_t kChildVariable[] = L"BV_SCALE_CHILD";

int S(int v, int dpi) { return MulDiv(v, dpi, 96); }

// A control's rectangle in the client coordinates of `relativeTo`.
RECT RectIn(HWND hwnd, HWND relativeTo) {
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, relativeTo, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

SIZE TextExtent(HWND hwnd, const std::wstring& text) {
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return size;
}

// The smallest rectangle (in window pixels) holding every pixel of `rgb`
// inside `area`; empty when there is none.
RECT BoundsOf(const test::Pixels& px, RECT area, uint32_t rgb) {
    RECT box{area.right, area.bottom, area.left, area.top};
    for (int y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, px.height); ++y)
        for (int x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, px.width); ++x)
            if (px.at(x, y) == rgb) {
                box.left = std::min<LONG>(box.left, x);
                box.top = std::min<LONG>(box.top, y);
                box.right = std::max<LONG>(box.right, x + 1);
                box.bottom = std::max<LONG>(box.bottom, y + 1);
            }
    return box;
}

// Shows `page`, paints, and returns the window's pixels; saves them too.
test::Pixels Shoot(Wizard& w, ui::ControlId page, const std::string& shot) {
    w.window.ShowPage(page);
    RedrawWindow(w.window.Handle(Ctl::MainF), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    w.window.PumpMessages();
    std::filesystem::create_directories("screenshots");
    std::wstring name = DefOf(page).name;
    std::string file = "screenshots/" + shot + "-" + std::string(name.begin(), name.end()) + ".png";
    EXPECT_TRUE(test::SaveWindowPng(w.window.Handle(Ctl::MainF), file)) << file;
    return test::CaptureWindow(w.window.Handle(Ctl::MainF));
}

// Everything the design places, at `dpi`; screenshots named after `shot`.
// The client area is the designed one unless the outer size limits made it
// larger (`designedClient` false).
void CheckLayout(Wizard& w, int dpi, const std::string& shot, bool designedClient = true) {
    HWND main = w.window.Handle(Ctl::MainF);
    ASSERT_EQ(w.window.DpiScale(), dpi);

    // The limits of the outer size.
    MINMAXINFO mmi{};
    SendMessageW(main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
    EXPECT_GE(mmi.ptMinTrackSize.x, S(kMinOuterWidth, dpi));
    EXPECT_EQ(mmi.ptMinTrackSize.y, S(kMinOuterHeight, dpi));
    EXPECT_EQ(mmi.ptMaxTrackSize.y, S(kMaxOuterHeight, dpi));

    RECT client;
    GetClientRect(main, &client);
    if (designedClient) {
        EXPECT_EQ(client.right, S(kClientWidth, dpi));
        EXPECT_EQ(client.bottom, S(kClientHeight, dpi));
    } else {
        EXPECT_GE(client.right, S(kClientWidth, dpi));
        EXPECT_GE(client.bottom, S(kClientHeight, dpi));
    }
    // The page stack as designed: what lies between banner and status panel.
    const int designPageH = S(kClientHeight, dpi) - S(kBannerHeight, dpi) - S(kStatusHeight, dpi);
    const int pageH = client.bottom - S(kBannerHeight, dpi) - S(kStatusHeight, dpi);

    // The window's frame and the controls that are not on a page.
    RECT banner = RectIn(w.window.Handle(Ctl::pnTop), main);
    EXPECT_EQ(banner.bottom - banner.top, S(kBannerHeight, dpi));
    RECT status = RectIn(w.window.Handle(Ctl::pnBottom), main);
    EXPECT_EQ(status.bottom - status.top, S(kStatusHeight, dpi));
    EXPECT_EQ(status.bottom, client.bottom);
    RECT logo = RectIn(w.window.Handle(Ctl::Image1), main);
    EXPECT_EQ(logo.right - logo.left, S(110, dpi));
    EXPECT_EQ(logo.bottom - logo.top, S(44, dpi));
    RECT bar = RectIn(w.window.Handle(Ctl::pb), w.window.Handle(Ctl::pnBottom));
    EXPECT_EQ(bar.bottom - bar.top, S(13, dpi));
    EXPECT_EQ(bar.bottom, S(kStatusHeight, dpi));

    for (const ui::ControlDef& def : WizardLayout()) {
        HWND h = w.window.Handle(def.id);
        const ui::ControlDef* parent = def.kind == Kind::Window ? nullptr : &DefOf(def.parent);
        if (!h || !parent || parent->kind != Kind::Page) continue;
        SCOPED_TRACE(std::string(def.name, def.name + wcslen(def.name)));
        // Every control keeps its designed place on its page, scaled.
        RECT r = RectIn(h, w.window.Handle(def.parent));
        EXPECT_EQ(r.left, S(def.left, dpi));
        EXPECT_EQ(r.top, S(def.top, dpi));
        if (def.kind == Kind::Memo) {
            // The memo keeps its designed distance to every side.
            EXPECT_EQ(client.right - r.right, S(kClientWidth, dpi) - S(def.left, dpi) - S(def.width, dpi));
            EXPECT_EQ(pageH - r.bottom, designPageH - S(def.top, dpi) - S(def.height, dpi));
        } else {
            EXPECT_EQ(r.right - r.left, def.align == ui::Align::Top ? client.right : S(def.width, dpi));
            EXPECT_EQ(r.bottom - r.top, S(def.height, dpi));
        }

        // No text is cut off.
        std::wstring text = w.window.GetText(def.id);
        if (def.kind == Kind::Button) {
            // Inside the raised edge, and the default button's outline.
            int edge = def.isDefault && def.parent == w.window.ActivePage() ? 3 : 2;
            EXPECT_LE(w.window.ButtonContentWidth(def.id), r.right - r.left - 2 * edge) << "text and picture fit";
            EXPECT_LE(TextExtent(h, text).cy, r.bottom - r.top);
        } else if (def.kind == Kind::Panel || def.kind == Kind::Edit) {
            SIZE size = TextExtent(h, text);
            EXPECT_LE(size.cx, r.right - r.left - S(6, dpi)) << "text fits";
            EXPECT_LE(size.cy, r.bottom - r.top);
        } else if (def.kind == Kind::RadioGroup) {
            for (int i = 0; HWND item = w.window.RadioHandle(def.id, i); ++i) {
                RECT ir = RectIn(item, w.window.Handle(def.parent));
                std::wstring caption = w.window.Items(def.id)[static_cast<size_t>(i)];
                SIZE size = TextExtent(item, caption);
                // The round box and its gap take about 17 designed pixels.
                EXPECT_LE(size.cx + S(17, dpi), ir.right - ir.left) << "item " << i;
                EXPECT_LE(size.cy, ir.bottom - ir.top) << "item " << i;
                EXPECT_LE(ir.bottom, r.bottom) << "item " << i << " inside its group";
            }
        }
    }
    for (ui::ControlId panel : {Ctl::pnTop, Ctl::lblVersion}) {
        HWND h = w.window.Handle(panel);
        RECT r = RectIn(h, main);
        SIZE size = TextExtent(h, w.window.GetText(panel));
        EXPECT_LE(size.cx, r.right - r.left);
        EXPECT_LE(size.cy, r.bottom - r.top);
    }

    // The window's icon, at the display's scale (this test program carries
    // the product's resources).
    HICON icon = reinterpret_cast<HICON>(SendMessageW(main, WM_GETICON, ICON_BIG, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bm{};
    GetObjectW(info.hbmColor, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, S(32, dpi));
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(GetClassLongPtrW(main, GCLP_HICON), 0u);

    // The pictures fill their places: the logo's green tile spans the
    // banner's picture, the discs of the button pictures their full size.
    RECT window;
    GetWindowRect(main, &window);
    POINT origin{0, 0};
    ClientToScreen(main, &origin);
    auto inCapture = [&](ui::ControlId ctl) {
        RECT r = RectIn(w.window.Handle(ctl), main);
        OffsetRect(&r, origin.x - window.left, origin.y - window.top);
        return r;
    };
    constexpr uint32_t kGreen = 0x188038, kDiscBlue = 0x2060C8;
    test::Pixels folder = Shoot(w, Ctl::tbInstallFolder, shot);
    RECT place = inCapture(Ctl::Image1);
    RECT tile = BoundsOf(folder, place, kGreen);
    EXPECT_LE(tile.left - place.left, S(4, dpi) + 1);
    EXPECT_GE(tile.right - place.left, S(92, dpi) - 1);
    EXPECT_LE(tile.top - place.top, S(2, dpi) + 1);
    EXPECT_GE(tile.bottom - place.top, S(42, dpi) - 1);
    RECT arrow = BoundsOf(folder, inCapture(Ctl::btnNext1), kDiscBlue);
    EXPECT_NEAR(arrow.right - arrow.left, S(24, dpi), 1);
    EXPECT_NEAR(arrow.bottom - arrow.top, S(24, dpi), 1);

    for (ui::ControlId page : {Ctl::TabSheet2, Ctl::tbSelectLangfiles, Ctl::tbSireFiles, Ctl::tbProgram}) Shoot(w, page, shot);
    w.window.SetVisible(Ctl::btMusic, true);
    w.window.SetVisible(Ctl::pb, true);
    test::Pixels download = Shoot(w, Ctl::tbDownload, shot);
    RECT play = BoundsOf(download, inCapture(Ctl::btMusic), kDiscBlue);
    EXPECT_NEAR(play.right - play.left, S(16, dpi), 1);
    EXPECT_NEAR(play.bottom - play.top, S(16, dpi), 1);
    // The progress bar keeps its lime bar.
    RECT lime = BoundsOf(download, inCapture(Ctl::pb), 0x00FF00);
    EXPECT_GT(lime.right - lime.left, S(100, dpi));
    w.window.SetVisible(Ctl::btMusic, false);
    w.window.SetVisible(Ctl::pb, false);
}

void CheckWindowAt(int dpi) {
    Wizard w({});
    CheckLayout(w, dpi, "scale" + std::to_string(dpi));
}

// Tells the window it is now on a display of `dpi`, suggesting the outer
// size that gives the designed client area at that scale, as Windows does.
// The frame stays as it is here (on Windows it would scale too), so the
// outer size limits may make the client area larger. Placed at the screen's
// top left, to stay on the test's screen.
void MoveToDisplayOf(Wizard& w, int dpi) {
    HWND main = w.window.Handle(Ctl::MainF);
    RECT outer, client;
    GetWindowRect(main, &outer);
    GetClientRect(main, &client);
    RECT suggested{0, 0, (outer.right - outer.left - client.right) + S(kClientWidth, dpi),
                   (outer.bottom - outer.top - client.bottom) + S(kClientHeight, dpi)};
    SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    w.window.PumpMessages();
}

TEST(Scale, At96DotsPerInchTheWindowIsAsDesigned) {
    if (GetEnvironmentVariableW(kChildVariable, nullptr, 0)) GTEST_SKIP() << "the run at 144 dots per inch";
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(dpi, 96) << "the other window tests expect the display at 96 dots per inch";
    CheckWindowAt(96);
}

TEST(Scale, MovingToADisplayOfAnotherScaleLaysTheWindowOutAnew) {
    if (GetEnvironmentVariableW(kChildVariable, nullptr, 0)) GTEST_SKIP() << "the run at 144 dots per inch";
    Wizard w({});
    MoveToDisplayOf(w, 144);
    CheckLayout(w, 144, "moved144", false);
    // The fonts were made anew at the new scale.
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(w.window.Handle(Ctl::btnNext1), WM_GETFONT, 0, 0)), sizeof font,
               &font);
    EXPECT_EQ(font.lfHeight, -21);
    MoveToDisplayOf(w, 96);
    CheckLayout(w, 96, "moved96", false);
}

TEST(ScaleChild, WindowAt144DotsPerInch) {
    if (!GetEnvironmentVariableW(kChildVariable, nullptr, 0)) GTEST_SKIP() << "runs inside Scale.At144...";
    CheckWindowAt(144);
}

// The display's scale for the current user, set for as long as it lives and
// then put back as it was.
class DisplayScale {
public:
    explicit DisplayScale(DWORD dpi) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key_, nullptr);
        DWORD size = sizeof previous_;
        had_ = RegQueryValueExW(key_, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&previous_), &size) ==
               ERROR_SUCCESS;
        ok_ = RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi) ==
              ERROR_SUCCESS;
    }
    ~DisplayScale() {
        if (had_)
            RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_), sizeof previous_);
        else
            RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }
    bool ok() const { return ok_; }

private:
    HKEY key_ = nullptr;
    DWORD previous_ = 0;
    bool had_ = false, ok_ = false;
};

TEST(Scale, At144DotsPerInchEverythingIsOneAndAHalfTimes) {
    if (GetEnvironmentVariableW(kChildVariable, nullptr, 0)) GTEST_SKIP() << "the run at 144 dots per inch";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --gtest_filter=ScaleChild.*";
    DWORD code = 1;
    {
        DisplayScale scale(144);
        ASSERT_TRUE(scale.ok());
        SetEnvironmentVariableW(kChildVariable, L"144");
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION pi{};
        BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        SetEnvironmentVariableW(kChildVariable, nullptr);
        ASSERT_TRUE(started) << "error " << GetLastError();
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    EXPECT_EQ(code, 0u) << "the checks at 144 dots per inch failed (output above)";
}

}  // namespace
}  // namespace bv
