// The Win32 wizard window. Controls are created from the layout table; panels,
// the page stack and pages are small window classes of our own. Everything is
// laid out at the display's scale: positions, sizes, fonts and the pictures
// are scaled from 96 dots per inch when the window is made and again when it
// moves to a display of another scale. Events are forwarded to the handlers.
#include "platform/win32/wizard_window.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <cstring>

#include "platform/pictures.h"
#include "platform/text_lines.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace bv::win32 {

using ui::ControlId;
using ui::Kind;

namespace {

constexpr wchar_t kMainClass[] = L"BVStartupMain";
constexpr wchar_t kPanelClass[] = L"BVPanel";
constexpr wchar_t kContainerClass[] = L"BVContainer";
constexpr wchar_t kFontProp[] = L"BVFont";
constexpr wchar_t kBitmapProp[] = L"BVBitmap";
constexpr wchar_t kTextColorProp[] = L"BVTextColor";
constexpr UINT kTimerId = 1;
constexpr UINT WM_BV_DBLCLK = WM_APP + 1;
constexpr COLORREF kMagenta = RGB(255, 0, 255);
constexpr COLORREF kDiscBlue = RGB(32, 96, 200);

constexpr int kDesignDpi = 96;
// The width of a push button's raised edge; the default button has a black
// outline around it.
constexpr int kButtonEdge = 2;
// The product icon: the first icon group of the program's resources.
constexpr int kIconId = 1;

// A control's child-window id, and its radio items' after it: each control
// has 32 ids. The ids stay below 0x10000 (a command carries 16 bits).
constexpr int kFirstChildId = 1000;
constexpr int kIdsPerControl = 32;
int IdOf(ControlId ctl) { return kFirstChildId + static_cast<int>(ctl) * kIdsPerControl; }
ControlId CtlOfId(int id) { return static_cast<ControlId>((id - kFirstChildId) / kIdsPerControl); }
bool IdFits(ControlId ctl) { return static_cast<int>(ctl) >= 0 && IdOf(ctl) + kIdsPerControl <= 0x10000; }

COLORREF ColorOf(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// The scale functions of Windows 10 (1607 and later), looked up at run time
// so that the program still starts on Windows 7 and 8.
struct DpiFunctions {
    UINT(WINAPI* forWindow)(HWND) = nullptr;
    UINT(WINAPI* forSystem)() = nullptr;
    BOOL(WINAPI* adjustWindowRect)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
};

template <class Fn>
void Load(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const DpiFunctions& Dpi() {
    static const DpiFunctions fns = [] {
        DpiFunctions f;
        if (HMODULE user = GetModuleHandleW(L"user32.dll")) {
            Load(user, "GetDpiForWindow", f.forWindow);
            Load(user, "GetDpiForSystem", f.forSystem);
            Load(user, "AdjustWindowRectExForDpi", f.adjustWindowRect);
        }
        return f;
    }();
    return fns;
}

// The scale of the display the window is on, in dots per inch; the system's
// without a window, and 96 when nothing tells.
int DpiOf(HWND hwnd) {
    UINT dpi = 0;
    if (hwnd && Dpi().forWindow) dpi = Dpi().forWindow(hwnd);
    if (!dpi && Dpi().forSystem) dpi = Dpi().forSystem();
    if (!dpi) {
        HDC screen = GetDC(nullptr);
        dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
        ReleaseDC(nullptr, screen);
    }
    return dpi ? static_cast<int>(dpi) : kDesignDpi;
}

// Owns a GDI object.
template <class T>
class Gdi {
public:
    Gdi() = default;
    explicit Gdi(T h) : h_(h) {}
    ~Gdi() {
        if (h_) DeleteObject(h_);
    }
    Gdi(const Gdi&) = delete;
    Gdi& operator=(const Gdi&) = delete;
    void reset(T h) {
        if (h_) DeleteObject(h_);
        h_ = h;
    }
    T get() const { return h_; }

private:
    T h_ = nullptr;
};

HFONT MakeFont(int pixelHeight, bool bold) {
    return CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

// A 32-bit top-down bitmap of the given size, drawn by `paint`.
template <class Paint>
HBITMAP DrawBitmap(int w, int h, Paint paint) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bmp);
    paint(dc);
    GdiFlush();
    SelectObject(dc, old);
    DeleteDC(dc);
    return bmp;
}

void FillDisc(HDC dc, int size) {
    RECT all{0, 0, size, size};
    HBRUSH magenta = CreateSolidBrush(kMagenta);
    FillRect(dc, &all, magenta);
    DeleteObject(magenta);
    HBRUSH blue = CreateSolidBrush(kDiscBlue);
    HGDIOBJ oldBrush = SelectObject(dc, blue);
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, 0, 0, size + 1, size + 1);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(blue);
}

void WhitePolygon(HDC dc, const POINT* pts, int n) {
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    Polygon(dc, pts, n);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
}

// A polygon designed on a grid of `design` points, drawn `size` pixels wide.
template <size_t N>
void WhitePolygon(HDC dc, const POINT (&pts)[N], int design, int size) {
    POINT scaled[N];
    for (size_t i = 0; i < N; ++i) scaled[i] = {MulDiv(pts[i].x, size, design), MulDiv(pts[i].y, size, design)};
    WhitePolygon(dc, scaled, static_cast<int>(N));
}

// A right arrow in a blue disc, 24 by 24 at 96 dots per inch, magenta around it.
HBITMAP MakeArrow(int size) {
    return DrawBitmap(size, size, [size](HDC dc) {
        FillDisc(dc, size);
        const POINT arrow[] = {{5, 10}, {12, 10}, {12, 5}, {19, 12}, {12, 19}, {12, 14}, {5, 14}};
        WhitePolygon(dc, arrow, 24, size);
    });
}

// A play symbol in a blue disc, 16 by 16 at 96 dots per inch, magenta around it.
HBITMAP MakePlay(int size) {
    return DrawBitmap(size, size, [size](HDC dc) {
        FillDisc(dc, size);
        const POINT tri[] = {{6, 4}, {12, 8}, {6, 12}};
        WhitePolygon(dc, tri, 16, size);
    });
}

// The product icon, 96 by 96 at 96 dots per inch, on the banner's white.
HBITMAP MakeLogo(int size) {
    pictures::Image logo = pictures::Over(pictures::DrawLogo(size), 0xFFFFFF);
    return DrawBitmap(size, size, [&](HDC dc) {
        BITMAP bm{};
        GetObjectW(GetCurrentObject(dc, OBJ_BITMAP), sizeof bm, &bm);
        // 32-bit rows top first: the same layout as the image's pixels.
        std::memcpy(bm.bmBits, logo.pixels.data(), logo.pixels.size() * sizeof(uint32_t));
    });
}

// The product icon from the program's resources at the given size, or none
// (test programs carry no resources).
HICON LoadProductIcon(int size) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconId), IMAGE_ICON, size,
                                         size, LR_DEFAULTCOLOR));
}

HWND Root(HWND hwnd) { return GetAncestor(hwnd, GA_ROOT); }

// The height of a line of text in the font.
int CellHeight(HFONT font) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return tm.tmHeight;
}

// Messages that children send to their parent go on to the main window.
bool ForwardToRoot(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
        case WM_COMMAND: case WM_NOTIFY: case WM_DRAWITEM:
        case WM_CTLCOLORSTATIC: case WM_CTLCOLOREDIT: case WM_CTLCOLORBTN: case WM_CTLCOLORLISTBOX:
            if (HWND root = Root(hwnd); root && root != hwnd) {
                result = SendMessageW(root, msg, wp, lp);
                return true;
            }
            break;
        default: break;
    }
    return false;
}

// The part of a panel its text may use on more than one line: above the
// children that are shown along its bottom edge (the status panel's bar).
RECT TextArea(HWND panel, RECT rc) {
    RECT area = rc;
    for (HWND child = GetWindow(panel, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&r), 2);
        if (r.bottom >= rc.bottom && r.top > rc.top) area.bottom = std::min(area.bottom, r.top);
    }
    return area;
}

// A panel's caption, centred. A text that does not fit on one line is laid
// out on the lines the panel has room for, with its start and its end kept
// (a failure text names what failed at its end); the window text stays whole.
void DrawPanelText(HWND panel, HDC dc, const std::wstring& text, RECT rc) {
    SIZE whole{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &whole);
    if (whole.cx <= rc.right - rc.left) {
        DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        return;
    }
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int lineHeight = std::max<int>(tm.tmHeight, 1);
    const int margin = tm.tmAveCharWidth;
    RECT area = TextArea(panel, rc);
    int maxLines = std::max<int>((area.bottom - area.top) / lineHeight, 1);
    ui::FitCount fit = [dc](std::wstring_view piece, int width) -> size_t {
        int fits = 0;
        SIZE size{};
        if (!GetTextExtentExPointW(dc, piece.data(), static_cast<int>(piece.size()), width, &fits, nullptr, &size))
            return 0;
        return static_cast<size_t>(std::max(fits, 0));
    };
    std::vector<std::wstring> lines = ui::FitLines(text, rc.right - rc.left - 2 * margin, maxLines, fit);
    int top = area.top + (area.bottom - area.top - static_cast<int>(lines.size()) * lineHeight) / 2;
    for (const std::wstring& line : lines) {
        RECT lr{rc.left + margin, top, rc.right - margin, top + lineHeight};
        DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &lr, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
        top += lineHeight;
    }
}

}  // namespace

// What the window draws with, made for one scale.
struct WizardWindow::Resources {
    // One font for every face the table asks for.
    std::vector<std::pair<ui::Font, HFONT>> fonts;
    Gdi<HBITMAP> logo, arrow, play;
    Gdi<HBRUSH> white;
    HICON bigIcon = nullptr, smallIcon = nullptr;
    ~Resources() {
        for (const auto& [face, font] : fonts) DeleteObject(font);
        if (bigIcon) DestroyIcon(bigIcon);
        if (smallIcon) DestroyIcon(smallIcon);
    }
};

void MessageBoxQuestions::ShowMessage(const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), L"BVStartup", MB_OK | MB_TASKMODAL);
}

void MessageBoxQuestions::ShowError(const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), L"BVStartup", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

WizardWindow::WizardWindow(const std::vector<ui::ControlDef>& layout, ui::Questions& questions)
    : layout_(layout), questions_(&questions), res_(new Resources) {}

WizardWindow::~WizardWindow() {
    if (main_) DestroyWindow(main_);
    delete res_;
}

int WizardWindow::Scale(int v) const { return MulDiv(v, dpi_, kDesignDpi); }

void WizardWindow::MakeResources() {
    auto* res = new Resources;
    for (const ui::ControlDef& s : layout_) {
        auto made = [&](const auto& f) { return f.first == s.font; };
        if (std::find_if(res->fonts.begin(), res->fonts.end(), made) == res->fonts.end())
            res->fonts.emplace_back(s.font, MakeFont(Scale(s.font.size), s.font.bold));
    }
    res->logo.reset(MakeLogo(Scale(96)));
    res->arrow.reset(MakeArrow(Scale(24)));
    res->play.reset(MakePlay(Scale(16)));
    res->white.reset(CreateSolidBrush(RGB(255, 255, 255)));
    res->bigIcon = LoadProductIcon(Scale(32));
    res->smallIcon = LoadProductIcon(Scale(16));
    // The controls take the new fonts and pictures before the old ones go.
    Resources* old = res_;
    res_ = res;
    ApplyResources();
    delete old;
}

HFONT WizardWindow::FontOf(const ui::Font& font) const {
    for (const auto& [face, made] : res_->fonts)
        if (face == font) return made;
    return nullptr;
}

HFONT WizardWindow::FontOf(ControlId ctl) const {
    const ui::ControlDef* s = Def(ctl);
    return FontOf(s ? s->font : WindowDef().font);
}

void WizardWindow::ApplyResources() {
    if (!main_) return;
    auto setFont = [](HWND h, HFONT font) {
        if (h) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    };
    for (const auto& [ctl, h] : controls_) {
        setFont(h, FontOf(ctl));
        const ui::ControlDef* s = Def(ctl);
        if (s && s->kind == Kind::ListBox) SendMessageW(h, LB_SETITEMHEIGHT, 0, Scale(17));
        if (s && s->picture == ui::Picture::Logo) SetPropW(h, kBitmapProp, res_->logo.get());
        // The page stack's tabs take the stack's font (and a radio group's
        // items the group's, below).
        if (s && s->kind == Kind::Pages) setFont(tabs_, FontOf(ctl));
    }
    for (const auto& [group, items] : radios_)
        for (HWND r : items) setFont(r, FontOf(group));
    if (res_->bigIcon) SendMessageW(main_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(res_->bigIcon));
    if (res_->smallIcon) SendMessageW(main_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(res_->smallIcon));
}

SIZE WizardWindow::OuterSize(int clientWidth, int clientHeight) const {
    RECT r{0, 0, clientWidth, clientHeight};
    DWORD style = static_cast<DWORD>(GetWindowLongW(main_, GWL_STYLE));
    DWORD exStyle = static_cast<DWORD>(GetWindowLongW(main_, GWL_EXSTYLE));
    if (!Dpi().adjustWindowRect || !Dpi().adjustWindowRect(&r, style, FALSE, exStyle, static_cast<UINT>(dpi_)))
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return {r.right - r.left, r.bottom - r.top};
}

const ui::ControlDef* WizardWindow::Def(ControlId ctl) const {
    for (const ui::ControlDef& s : layout_)
        if (s.id == ctl) return &s;
    return nullptr;
}

const ui::ControlDef& WizardWindow::WindowDef() const {
    static const ui::ControlDef none{ui::kNoControl, ui::kNoControl, Kind::Window, L"", 0, 0, 0, 0, L""};
    for (const ui::ControlDef& s : layout_)
        if (s.kind == Kind::Window) return s;
    return none;
}

ControlId WizardWindow::CtlOf(HWND hwnd) const {
    for (const auto& [ctl, h] : controls_)
        if (h == hwnd) return ctl;
    return ui::kNoControl;
}

HWND WizardWindow::Handle(ControlId ctl) const {
    if (ctl == WindowDef().id) return main_;
    auto it = controls_.find(ctl);
    return it == controls_.end() ? nullptr : it->second;
}

HWND WizardWindow::RadioHandle(ControlId group, int index) const {
    auto it = radios_.find(group);
    if (it == radios_.end() || index < 0 || static_cast<size_t>(index) >= it->second.size()) return nullptr;
    return it->second[static_cast<size_t>(index)];
}

bool WizardWindow::Create(ui::Events& events, UINT timerMs) {
    events_ = &events;
    HINSTANCE inst = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpfnWndProc = MainProc;
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kMainClass;
    wc.hIcon = LoadProductIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = LoadProductIcon(GetSystemMetrics(SM_CXSMICON));
    if (!RegisterClassExW(&wc)) {
        // Registered before: the class keeps its own icons.
        if (wc.hIcon) DestroyIcon(wc.hIcon);
        if (wc.hIconSm) DestroyIcon(wc.hIconSm);
    }
    wc.hIcon = wc.hIconSm = nullptr;
    wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = PanelProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kPanelClass;
    RegisterClassExW(&wc);
    wc.style = 0;
    wc.lpfnWndProc = ContainerProc;
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kContainerClass;
    RegisterClassExW(&wc);

    // Made at the system's scale, then sized for the display it is on.
    dpi_ = DpiOf(nullptr);
    main_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainClass, WindowDef().text, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, inst, this);
    if (!main_) return false;
    dpi_ = DpiOf(main_);
    SIZE outer = OuterSize(Scale(WindowDef().width), Scale(WindowDef().height));
    SetWindowPos(main_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    MakeResources();
    if (!CreateControls()) {
        DestroyWindow(main_);
        return false;
    }
    ApplyResources();
    LayoutControls();
    SetTimer(main_, kTimerId, timerMs, nullptr);
    return true;
}

bool WizardWindow::CreateControls() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    for (const ui::ControlDef& s : layout_) {
        if (s.kind == Kind::Window) continue;
        // A control's id is its child-window id; one that does not fit in a
        // command's 16 bits would be misread as another control.
        if (!IdFits(s.id) || s.items.size() >= kIdsPerControl) return false;
        // Parents come before their children in the table.
        HWND parent = Handle(s.parent);
        if (!parent) return false;
        HWND h = nullptr;
        int id = IdOf(s.id);
        // Every control starts a group of its own for the arrow keys, which
        // move only between a radio group's items; a page and the page stack
        // are containers the keyboard interface walks into.
        auto make = [&](DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style) {
            if (s.kind != Kind::Pages && s.kind != Kind::Page) style |= WS_GROUP;
            if (!s.visible) style &= ~static_cast<DWORD>(WS_VISIBLE);
            return CreateWindowExW(exStyle, cls, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
        };
        switch (s.kind) {
            case Kind::Panel:
                h = make(0, kPanelClass, s.text, WS_VISIBLE | WS_CLIPCHILDREN);
                break;
            case Kind::Image:
                h = make(0, kPanelClass, L"", WS_VISIBLE);
                break;
            case Kind::Label:
                h = make(0, L"STATIC", s.text, WS_VISIBLE | SS_CENTER);
                break;
            case Kind::Pages:
                h = make(WS_EX_CONTROLPARENT, kContainerClass, L"", WS_VISIBLE | WS_CLIPCHILDREN);
                tabs_ = CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0,
                                        0, h, nullptr, inst, nullptr);
                break;
            case Kind::Page: {
                h = make(WS_EX_CONTROLPARENT, kContainerClass, s.text, WS_CLIPCHILDREN | WS_CLIPSIBLINGS);
                TCITEMW item{};
                item.mask = TCIF_TEXT;
                item.pszText = const_cast<wchar_t*>(s.name);
                SendMessageW(tabs_, TCM_INSERTITEMW, pages_.size(), reinterpret_cast<LPARAM>(&item));
                pages_.push_back(s.id);
                break;
            }
            case Kind::Edit:
                h = make(WS_EX_CLIENTEDGE, L"EDIT", s.text, WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL);
                break;
            case Kind::ListBox:
                h = make(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                         WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT |
                             LBS_OWNERDRAWFIXED | LBS_HASSTRINGS);
                break;
            case Kind::Button:
                h = make(0, L"BUTTON", s.text, WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW);
                break;
            case Kind::RadioGroup: {
                // The items act as one group: the first starts it, the
                // arrow keys move the check between them (the buttons check
                // themselves), and the group is one tab stop, its checked item.
                h = make(0, L"BUTTON", s.text, WS_VISIBLE | BS_GROUPBOX);
                std::vector<HWND>& items = radios_[s.id];
                for (size_t i = 0; i < s.items.size(); ++i) {
                    HWND r = CreateWindowExW(0, L"BUTTON", s.items[i],
                                             WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP : 0), 0,
                                             0, 0, 0, parent,
                                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id + 1 + i)), inst, nullptr);
                    items.push_back(r);
                }
                break;
            }
            case Kind::Memo:
                h = make(WS_EX_CLIENTEDGE, L"EDIT", s.text,
                         WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN);
                if (h) SetWindowSubclass(h, MemoProc, 0, 0);
                break;
            case Kind::Progress:
                h = make(0, PROGRESS_CLASSW, L"", PBS_SMOOTH);
                // A themed bar ignores its colours: this one is drawn plain.
                SetWindowTheme(h, L" ", L" ");
                SendMessageW(h, PBM_SETRANGE32, 0, s.maximum);
                SendMessageW(h, PBM_SETPOS, static_cast<WPARAM>(s.position), 0);
                if (s.color != ui::kDefaultColor) SendMessageW(h, PBM_SETBARCOLOR, 0, ColorOf(s.color));
                SendMessageW(h, PBM_SETBKCOLOR, 0, RGB(255, 255, 255));
                break;
            case Kind::Player:
                // The media player has no window of its own: playback goes
                // through the multimedia interface.
                continue;
            case Kind::Window:
                continue;
        }
        if (s.kind == Kind::Label && s.color != ui::kDefaultColor)
            SetPropW(h, kTextColorProp, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(ColorOf(s.color)) + 1));
        if (!s.enabled) EnableWindow(h, FALSE);
        controls_[s.id] = h;
        if (s.kind == Kind::RadioGroup) {
            if (HWND r = RadioHandle(s.id, s.selected)) SendMessageW(r, BM_SETCHECK, BST_CHECKED, 0);
            radioIndex_[s.id] = ItemIndex(s.id);
            UpdateRadioTabStop(s.id);
        }
        if (s.hint) {
            if (!tooltip_)
                tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0,
                                           0, 0, main_, nullptr, inst, nullptr);
            TTTOOLINFOW ti{};
            ti.cbSize = TTTOOLINFOW_V1_SIZE;
            ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            ti.hwnd = main_;
            ti.uId = reinterpret_cast<UINT_PTR>(h);
            ti.lpszText = const_cast<wchar_t*>(s.hint);
            SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
        }
    }
    return true;
}

void WizardWindow::LayoutControls() {
    if (!main_) return;
    const ui::ControlDef& window = WindowDef();
    Arrange(window.id, Scale(window.width), Scale(window.height), true);
    RECT client;
    GetClientRect(main_, &client);
    Arrange(window.id, client.right, client.bottom, false);
}

void WizardWindow::Arrange(ControlId parent, int w, int h, bool design) {
    if (design) designSizes_[parent] = {w, h};
    const SIZE parentDesign = designSizes_[parent];
    // Aligned controls take the parent's edges in table order, the top
    // ones and the bottom ones first; what is left goes to Client.
    int top = 0, bottom = h;
    std::vector<std::pair<const ui::ControlDef*, RECT>> placed;
    for (ui::Align pass : {ui::Align::Top, ui::Align::Bottom, ui::Align::None, ui::Align::Client}) {
        for (const ui::ControlDef& s : layout_) {
            if (s.parent != parent || s.align != pass || s.kind == Kind::Page || s.kind == Kind::Window) continue;
            int x = Scale(s.left), y = Scale(s.top), cx = Scale(s.width), cy = Scale(s.height);
            // A label is no lower than its text: a scaled font can be a
            // pixel taller than the scaled label.
            if (s.kind == Kind::Label) cy = std::max(cy, CellHeight(FontOf(s.font)));
            switch (s.align) {
                case ui::Align::Top:
                    x = 0, y = top, cx = w;
                    top += cy;
                    break;
                case ui::Align::Bottom:
                    x = 0, y = bottom - cy, cx = w;
                    bottom -= cy;
                    break;
                case ui::Align::Client:
                    x = 0, y = top, cx = w, cy = std::max(0, bottom - top);
                    break;
                case ui::Align::None: {
                    // Held by both edges of a side, the control keeps its
                    // distance to each as designed; by the far one alone,
                    // it moves with it.
                    const int rightGap = parentDesign.cx - x - cx, bottomGap = parentDesign.cy - y - cy;
                    const bool left = (s.anchors & ui::kAnchorLeft) != 0, right = (s.anchors & ui::kAnchorRight) != 0;
                    const bool above = (s.anchors & ui::kAnchorTop) != 0, below = (s.anchors & ui::kAnchorBottom) != 0;
                    if (right && left) cx = std::max(0, w - x - rightGap);
                    else if (right) x = w - rightGap - cx;
                    if (below && above) cy = std::max(0, h - y - bottomGap);
                    else if (below) y = h - bottomGap - cy;
                    break;
                }
            }
            placed.emplace_back(&s, RECT{x, y, x + cx, y + cy});
        }
    }
    for (const auto& [s, r] : placed) {
        const int cx = r.right - r.left, cy = r.bottom - r.top;
        if (design) {
            designSizes_[s->id] = {cx, cy};
        } else if (HWND hwnd = Handle(s->id)) {
            MoveWindow(hwnd, r.left, r.top, cx, cy, TRUE);
            if (s->kind == Kind::RadioGroup) {
                // The items sit in the group's frame, one under the other;
                // they are children of the group's parent.
                const std::vector<HWND>& items = radios_[s->id];
                int first = Scale(16), usable = cy - first - Scale(4);
                int step = items.empty() ? 0 : usable / static_cast<int>(items.size());
                for (size_t i = 0; i < items.size(); ++i)
                    MoveWindow(items[i], r.left + Scale(4), r.top + first + static_cast<int>(i) * step, cx - Scale(6),
                               std::min(step, Scale(20)), TRUE);
            }
        }
        if (s->kind == Kind::Pages) {
            // The pages fill the stack; with the tabs shown, the space
            // inside them. At the design size there are no tabs.
            RECT pageRect{0, 0, cx, cy};
            if (!design) {
                if (tabsVisible_) {
                    MoveWindow(tabs_, 0, 0, cx, cy, TRUE);
                    SendMessageW(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&pageRect));
                }
                ShowWindow(tabs_, tabsVisible_ ? SW_SHOW : SW_HIDE);
            }
            const int pageW = pageRect.right - pageRect.left, pageH = pageRect.bottom - pageRect.top;
            for (const ui::ControlDef& page : layout_) {
                if (page.parent != s->id || page.kind != Kind::Page) continue;
                if (design) {
                    designSizes_[page.id] = {pageW, pageH};
                } else if (HWND hwnd = Handle(page.id)) {
                    MoveWindow(hwnd, pageRect.left, pageRect.top, pageW, pageH, TRUE);
                    if (tabsVisible_) SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
                }
                Arrange(page.id, pageW, pageH, design);
            }
        } else {
            Arrange(s->id, cx, cy, design);
        }
    }
}

void WizardWindow::Show() {
    RECT r;
    GetWindowRect(main_, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    int sx = GetSystemMetrics(SM_CXSCREEN), sy = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(main_, nullptr, (sx - w) / 2, (sy - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(main_, SW_SHOW);
    SetForegroundWindow(main_);
    UpdateWindow(main_);
    if (events_ && activePage_ != ui::kNoControl) events_->OnPageShow(activePage_);
}

int WizardWindow::RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) HandleMessage(msg);
    return 0;
}

void WizardWindow::HandleMessage(MSG& msg) {
    if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST && main_ &&
        (msg.hwnd == main_ || IsChild(main_, msg.hwnd))) {
        // The keyboard interface searches the window from the control a key
        // was sent to, and never ends when that control cannot be reached
        // (a hidden page's button): such a key goes to the focus, which is
        // first moved to where the user can reach it.
        RescueFocus();
        if (!CanFocus(msg.hwnd)) {
            HWND focus = GetFocus();
            msg.hwnd = CanFocus(focus) ? focus : main_;
        }
    }
    if (PreTranslate(msg)) return;
    if (main_ && IsDialogMessageW(main_, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

bool WizardWindow::HandlePendingInput() {
    MSG msg;
    while (main_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT | PM_QS_POSTMESSAGE)) {
        if (msg.message == WM_QUIT) {
            // Left for the message loop, which ends on it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        HandleMessage(msg);
    }
    return main_ != nullptr;
}

bool WizardWindow::PreTranslate(const MSG& msg) {
    // Enter presses the default button of the page on show, except in a
    // memo, which takes line breaks.
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN || !main_ ||
        (msg.hwnd != main_ && !IsChild(main_, msg.hwnd)))
        return false;
    if (const ui::ControlDef* in = Def(CtlOf(msg.hwnd)); in && in->kind == Kind::Memo) return false;
    for (const ui::ControlDef& s : layout_)
        if (s.parent == activePage_ && s.isDefault && IsWindowEnabled(Handle(s.id))) {
            SendMessageW(Handle(s.id), BM_CLICK, 0, 0);
            break;
        }
    return true;
}

void WizardWindow::PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) HandleMessage(msg);
}

void WizardWindow::SetText(ControlId ctl, const std::wstring& text) {
    if (HWND h = Handle(ctl)) {
        SetWindowTextW(h, text.c_str());
        const ui::ControlDef* s = Def(ctl);
        if (s && s->kind == Kind::Panel) InvalidateRect(h, nullptr, TRUE);
    }
}

std::wstring WizardWindow::GetText(ControlId ctl) const {
    HWND h = Handle(ctl);
    if (!h) return {};
    int n = GetWindowTextLengthW(h);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(h, text.data(), n + 1);
    text.resize(static_cast<size_t>(n));
    return text;
}

void WizardWindow::ShowPage(ControlId page) {
    if (page == activePage_) return;
    auto it = std::find(pages_.begin(), pages_.end(), page);
    if (it == pages_.end()) return;
    activePage_ = page;
    for (ControlId p : pages_) ShowWindow(Handle(p), p == page ? SW_SHOW : SW_HIDE);
    // The focus never stays on the page that was left (pressing its button
    // left it there); the page on show gives it to its own control.
    RescueFocus();
    bool windowShown = IsWindowVisible(main_) != FALSE;
    SendMessageW(tabs_, TCM_SETCURSEL, static_cast<WPARAM>(it - pages_.begin()), 0);
    // Every button repaints, so the default frame follows the page.
    for (const ui::ControlDef& s : layout_)
        if (s.kind == Kind::Button) InvalidateRect(Handle(s.id), nullptr, TRUE);
    // A page is shown to the user only once the window is; Show() reports
    // the page on show then.
    if (events_ && windowShown) events_->OnPageShow(page);
    RescueFocus();
}

void WizardWindow::SetTabsVisible(bool visible) {
    tabsVisible_ = visible;
    LayoutControls();
    RescueFocus();
}

void WizardWindow::SetVisible(ControlId ctl, bool visible) {
    if (HWND h = Handle(ctl)) ShowWindow(h, visible ? SW_SHOW : SW_HIDE);
    RescueFocus();
}

bool WizardWindow::IsVisible(ControlId ctl) const {
    HWND h = Handle(ctl);
    return h && (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) != 0;
}

void WizardWindow::SetEnabled(ControlId ctl, bool enabled) {
    if (HWND h = Handle(ctl)) EnableWindow(h, enabled ? TRUE : FALSE);
    RescueFocus();
}

bool WizardWindow::IsEnabled(ControlId ctl) const {
    HWND h = Handle(ctl);
    return h && IsWindowEnabled(h);
}

bool WizardWindow::SafeFocus(ControlId ctl) {
    // A radio group takes the focus on its checked item.
    HWND h = radios_.count(ctl) ? RadioFocusItem(ctl) : Handle(ctl);
    if (!h) return false;
    DWORD pid = 0;
    HWND fg = GetForegroundWindow();
    if (!fg || (GetWindowThreadProcessId(fg, &pid), pid != GetCurrentProcessId())) return false;
    for (HWND w = h; w; w = GetParent(w))
        if (!IsWindowVisible(w) || !IsWindowEnabled(w)) return false;
    SetFocus(h);
    return true;
}

bool WizardWindow::HasFocus(ControlId ctl) const {
    HWND focus = GetFocus();
    if (auto it = radios_.find(ctl); it != radios_.end())
        return focus && std::find(it->second.begin(), it->second.end(), focus) != it->second.end();
    HWND h = Handle(ctl);
    return h && focus == h;
}

bool WizardWindow::CanFocus(HWND h) const {
    if (!h || !main_ || (h != main_ && !IsChild(main_, h))) return false;
    for (HWND w = h; w; w = GetParent(w)) {
        if (!IsWindowVisible(w) || !IsWindowEnabled(w)) return false;
        if (w == main_) break;
    }
    return true;
}

void WizardWindow::RescueFocus(bool offTheWindow) {
    if (!main_) return;
    HWND focus = GetFocus();
    // Only the window's own focus: none while another program is active.
    // The system gives it to nothing, or to the container, when the control
    // that had it is disabled or hidden.
    if (focus ? focus != main_ && !IsChild(main_, focus) : GetActiveWindow() != main_) return;
    const ui::ControlDef* in = focus ? Def(CtlOf(focus)) : nullptr;
    bool container = in && (in->kind == Kind::Page || in->kind == Kind::Pages);
    if (CanFocus(focus) && !container && !(offTheWindow && focus == main_)) return;
    HWND target = nullptr;
    HWND page = Handle(activePage_);
    if (CanFocus(page)) {
        target = GetNextDlgTabItem(page, nullptr, FALSE);
        if (!CanFocus(target) || !IsChild(page, target)) target = nullptr;
    }
    SetFocus(target ? target : main_);
}

HWND WizardWindow::RadioFocusItem(ControlId group) const {
    int checked = ItemIndex(group);
    return RadioHandle(group, checked >= 0 ? checked : 0);
}

void WizardWindow::UpdateRadioTabStop(ControlId group) {
    HWND stop = RadioFocusItem(group);
    for (HWND r : radios_[group]) {
        LONG_PTR style = GetWindowLongPtrW(r, GWL_STYLE);
        LONG_PTR wanted = r == stop ? style | WS_TABSTOP : style & ~static_cast<LONG_PTR>(WS_TABSTOP);
        if (wanted != style) SetWindowLongPtrW(r, GWL_STYLE, wanted);
    }
}

int WizardWindow::ItemIndex(ControlId ctl) const {
    if (auto it = radios_.find(ctl); it != radios_.end()) {
        for (size_t i = 0; i < it->second.size(); ++i)
            if (SendMessageW(it->second[i], BM_GETCHECK, 0, 0) == BST_CHECKED) return static_cast<int>(i);
        return -1;
    }
    HWND h = Handle(ctl);
    return h ? static_cast<int>(SendMessageW(h, LB_GETCURSEL, 0, 0)) : -1;
}

void WizardWindow::SetItemIndex(ControlId ctl, int index) {
    if (auto it = radios_.find(ctl); it != radios_.end()) {
        HWND focus = GetFocus();
        bool focusInGroup = focus && std::find(it->second.begin(), it->second.end(), focus) != it->second.end();
        for (size_t i = 0; i < it->second.size(); ++i)
            SendMessageW(it->second[i], BM_SETCHECK, static_cast<int>(i) == index ? BST_CHECKED : BST_UNCHECKED, 0);
        UpdateRadioTabStop(ctl);
        // The focus, when it is in the group, goes with the check.
        if (HWND item = RadioFocusItem(ctl); focusInGroup && item != focus && CanFocus(item)) SetFocus(item);
        int& seen = radioIndex_[ctl];
        int now = ItemIndex(ctl);
        bool changed = seen != now;
        seen = now;
        if (changed && events_) events_->OnChange(ctl);
        return;
    }
    if (HWND h = Handle(ctl)) SendMessageW(h, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::vector<std::wstring> WizardWindow::Items(ControlId ctl) const {
    std::vector<std::wstring> items;
    if (auto it = radios_.find(ctl); it != radios_.end()) {
        for (HWND r : it->second) {
            wchar_t buf[256];
            GetWindowTextW(r, buf, 256);
            items.emplace_back(buf);
        }
        return items;
    }
    HWND h = Handle(ctl);
    int n = h ? static_cast<int>(SendMessageW(h, LB_GETCOUNT, 0, 0)) : 0;
    for (int i = 0; i < n; ++i) {
        int len = static_cast<int>(SendMessageW(h, LB_GETTEXTLEN, i, 0));
        std::wstring text(static_cast<size_t>(len) + 1, L'\0');
        SendMessageW(h, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(len));
        items.push_back(text);
    }
    return items;
}

void WizardWindow::ClearItems(ControlId ctl) {
    if (HWND h = Handle(ctl)) SendMessageW(h, LB_RESETCONTENT, 0, 0);
}

void WizardWindow::AddItem(ControlId ctl, const std::wstring& text) {
    if (HWND h = Handle(ctl)) SendMessageW(h, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void WizardWindow::AddLine(ControlId ctl, const std::wstring& line) {
    HWND h = Handle(ctl);
    if (!h) return;
    int len = GetWindowTextLengthW(h);
    std::wstring add = (len > 0 ? L"\r\n" : L"") + line;
    SendMessageW(h, EM_SETSEL, len, len);
    SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(add.c_str()));
}

std::vector<std::wstring> WizardWindow::Lines(ControlId ctl) const {
    std::wstring all = GetText(ctl);
    std::vector<std::wstring> lines;
    if (all.empty()) return lines;
    size_t start = 0;
    for (;;) {
        size_t end = all.find(L"\r\n", start);
        lines.push_back(all.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) break;
        start = end + 2;
    }
    return lines;
}

void WizardWindow::SetProgress(ControlId ctl, int max, int position, uint32_t rgb) {
    HWND h = Handle(ctl);
    if (!h) return;
    SendMessageW(h, PBM_SETRANGE32, 0, max);
    SendMessageW(h, PBM_SETBARCOLOR, 0, ColorOf(rgb));
    SendMessageW(h, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int WizardWindow::ProgressPosition(ControlId ctl) const {
    HWND h = Handle(ctl);
    return h ? static_cast<int>(SendMessageW(h, PBM_GETPOS, 0, 0)) : 0;
}

void WizardWindow::Repaint(ControlId ctl) {
    // With everything inside it: the window, a page, or a panel and its bar.
    if (HWND h = Handle(ctl))
        RedrawWindow(h, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | (h == main_ ? RDW_FRAME : 0));
}

void WizardWindow::Close() {
    if (main_) SendMessageW(main_, WM_CLOSE, 0, 0);
}

void WizardWindow::PostClick(ControlId ctl) {
    if (HWND h = Handle(ctl)) PostMessageW(h, BM_CLICK, 0, 0);
}

void WizardWindow::PostClose() {
    if (main_) PostMessageW(main_, WM_CLOSE, 0, 0);
}

void WizardWindow::OnCommand(WPARAM wp, LPARAM lp) {
    int id = LOWORD(wp), code = HIWORD(wp);
    if (id < kFirstChildId || !events_) return;
    ControlId ctl = CtlOfId(id);
    int item = (id - kFirstChildId) % kIdsPerControl - 1;
    const ui::ControlDef* s = Def(ctl);
    if (!s) return;
    if (s->kind == Kind::RadioGroup && item >= 0 && code == BN_CLICKED) {
        SetItemIndex(ctl, item);
    } else if (s->kind == Kind::Button && code == BN_CLICKED) {
        events_->OnClick(ctl);
    } else if (s->kind == Kind::ListBox && code == LBN_SELCHANGE) {
        events_->OnChange(ctl);
    }
    (void)lp;
}

WizardWindow::ButtonFace WizardWindow::LayOutButton(HDC dc, ControlId ctl) const {
    ButtonFace face;
    const ui::ControlDef* s = Def(ctl);
    HWND h = Handle(ctl);
    if (!s || !h) return face;
    wchar_t text[128] = L"";
    GetWindowTextW(h, text, 128);
    face.text = text;
    if (s->picture == ui::Picture::Arrow) face.picture = res_->arrow.get(), face.pictureSize = Scale(24);
    if (s->picture == ui::Picture::Play) face.picture = res_->play.get(), face.pictureSize = Scale(16);
    face.gap = face.picture ? Scale(4) : 0;
    RECT rc;
    GetClientRect(h, &rc);
    HGDIOBJ oldFont = SelectObject(dc, FontOf(ctl));
    int n = static_cast<int>(face.text.size());
    SIZE ts{};
    GetTextExtentPoint32W(dc, face.text.c_str(), n, &ts);
    // A text wider than the space inside the frame has its letters moved
    // closer together rather than cut off at both ends.
    bool isDefault = s->isDefault && s->parent == activePage_;
    int room = rc.right - 2 * (kButtonEdge + (isDefault ? 1 : 0)) - face.gap - face.pictureSize;
    if (ts.cx > room && n > 1) face.spacing = -((ts.cx - room + n - 2) / (n - 1));
    face.textWidth = ts.cx + face.spacing * (n - 1);
    face.textHeight = ts.cy;
    SelectObject(dc, oldFont);
    return face;
}

int WizardWindow::ButtonContentWidth(ControlId ctl) const {
    HWND h = Handle(ctl);
    if (!h) return 0;
    HDC dc = GetDC(h);
    ButtonFace face = LayOutButton(dc, ctl);
    ReleaseDC(h, dc);
    return face.textWidth + face.gap + face.pictureSize;
}

void WizardWindow::DrawButton(const DRAWITEMSTRUCT& dis) {
    ControlId ctl = CtlOf(dis.hwndItem);
    const ui::ControlDef* s = Def(ctl);
    HDC dc = dis.hDC;
    RECT rc = dis.rcItem;
    bool pushed = (dis.itemState & ODS_SELECTED) != 0;
    bool disabled = (dis.itemState & ODS_DISABLED) != 0;
    bool isDefault = s && s->isDefault && s->parent == activePage_;
    if (isDefault) {
        FrameRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        InflateRect(&rc, -1, -1);
    }
    DrawFrameControl(dc, &rc, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    ButtonFace face = LayOutButton(dc, ctl);
    HGDIOBJ oldFont = SelectObject(dc, FontOf(ctl));
    int total = face.textWidth + face.gap + face.pictureSize;
    int x = (rc.left + rc.right - total) / 2 + (pushed ? 1 : 0);
    int cy = (rc.top + rc.bottom) / 2 + (pushed ? 1 : 0);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    int oldSpacing = SetTextCharacterExtra(dc, face.spacing);
    TextOutW(dc, x, cy - face.textHeight / 2, face.text.c_str(), static_cast<int>(face.text.size()));
    SetTextCharacterExtra(dc, oldSpacing);
    if (face.picture) {
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, face.picture);
        int side = face.pictureSize;
        TransparentBlt(dc, x + face.textWidth + face.gap, cy - side / 2, side, side, mem, 0, 0, side, side, kMagenta);
        SelectObject(mem, old);
        DeleteDC(mem);
    }
    SelectObject(dc, oldFont);
    if (dis.itemState & ODS_FOCUS) {
        RECT f = rc;
        InflateRect(&f, -Scale(4), -Scale(4));
        DrawFocusRect(dc, &f);
    }
}

LRESULT CALLBACK WizardWindow::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    WizardWindow* self = reinterpret_cast<WizardWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        self = static_cast<WizardWindow*>(cs->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->main_ = hwnd;
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    return self->HandleMain(hwnd, msg, wp, lp);
}

LRESULT WizardWindow::HandleMain(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_SIZE:
            LayoutControls();
            return 0;
        case WM_DPICHANGED: {
            // Moved to a display of another scale: fonts and pictures anew,
            // and the size Windows suggests for the new scale.
            dpi_ = HIWORD(wp) ? HIWORD(wp) : kDesignDpi;
            MakeResources();
            const RECT* suggested = reinterpret_cast<const RECT*>(lp);
            SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            LayoutControls();
            RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
            return 0;
        }
        case WM_GETMINMAXINFO: {
            auto* mmi = reinterpret_cast<MINMAXINFO*>(lp);
            const ui::ControlDef& window = WindowDef();
            if (window.minOuterWidth)
                mmi->ptMinTrackSize.x = std::max<LONG>(mmi->ptMinTrackSize.x, Scale(window.minOuterWidth));
            if (window.minOuterHeight) mmi->ptMinTrackSize.y = Scale(window.minOuterHeight);
            if (window.maxOuterHeight) mmi->ptMaxTrackSize.y = Scale(window.maxOuterHeight);
            return 0;
        }
        case WM_COMMAND:
            OnCommand(wp, lp);
            return 0;
        case WM_NOTIFY: {
            auto* hdr = reinterpret_cast<NMHDR*>(lp);
            if (hdr->hwndFrom == tabs_ && hdr->code == TCN_SELCHANGE) {
                int i = static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0));
                if (i >= 0 && static_cast<size_t>(i) < pages_.size()) ShowPage(pages_[static_cast<size_t>(i)]);
            }
            return 0;
        }
        case WM_DRAWITEM: {
            auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
            if (dis->CtlType == ODT_BUTTON) {
                DrawButton(*dis);
                return TRUE;
            }
            if (dis->CtlType == ODT_LISTBOX && dis->itemID != static_cast<UINT>(-1)) {
                bool selected = (dis->itemState & ODS_SELECTED) != 0;
                FillRect(dis->hDC, &dis->rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
                wchar_t text[512] = L"";
                if (SendMessageW(dis->hwndItem, LB_GETTEXTLEN, dis->itemID, 0) < 512)
                    SendMessageW(dis->hwndItem, LB_GETTEXT, dis->itemID, reinterpret_cast<LPARAM>(text));
                SetBkMode(dis->hDC, TRANSPARENT);
                SetTextColor(dis->hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
                RECT r = dis->rcItem;
                r.left += Scale(2);
                DrawTextW(dis->hDC, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
                if (dis->itemState & ODS_FOCUS) DrawFocusRect(dis->hDC, &dis->rcItem);
                return TRUE;
            }
            return FALSE;
        }
        case WM_CTLCOLORSTATIC: {
            HWND child = reinterpret_cast<HWND>(lp);
            HDC dc = reinterpret_cast<HDC>(wp);
            if (HANDLE color = GetPropW(child, kTextColorProp)) {
                SetTextColor(dc, static_cast<COLORREF>(reinterpret_cast<UINT_PTR>(color) - 1));
                SetBkColor(dc, RGB(255, 255, 255));
                return reinterpret_cast<LRESULT>(res_->white.get());
            }
            break;
        }
        case WM_TIMER:
            if (wp != kTimerId || !events_ || inTick_) return 0;
            {
                // A tick that fell due while a download held the thread comes
                // before the keys and clicks made meanwhile, whose events the
                // system may not even have read yet: they are handled first,
                // so that a close asked during the download ends the window
                // instead of this tick starting the next file. (Not while a
                // modal window of ours, which disables this one, reads them.)
                inTick_ = true;
                bool open = !IsWindowEnabled(hwnd) || HandlePendingInput();
                inTick_ = false;
                if (open) events_->OnTimer();
            }
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wp) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus && IsChild(hwnd, focus)) lastFocus_ = focus;
                break;
            }
            // Back to the control that had the focus, if the user can still
            // reach it; otherwise to the active page's first control.
            if (CanFocus(lastFocus_) && lastFocus_ != hwnd) {
                SetFocus(lastFocus_);
                return 0;
            }
            DefWindowProcW(hwnd, msg, wp, lp);
            RescueFocus(true);
            return 0;
        case WM_BV_DBLCLK:
            if (events_) events_->OnDblClick(static_cast<ControlId>(wp));
            return 0;
        case WM_CLOSE:
            if (events_) events_->OnClose();
            KillTimer(hwnd, kTimerId);
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            main_ = nullptr;
            lastFocus_ = nullptr;
            controls_.clear();
            radios_.clear();
            PostQuitMessage(0);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK WizardWindow::PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT forwarded;
    if (ForwardToRoot(hwnd, msg, wp, lp, forwarded)) return forwarded;
    switch (msg) {
        case WM_SETFONT:
            SetPropW(hwnd, kFontProp, reinterpret_cast<HANDLE>(wp));
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
            if (HANDLE bmp = GetPropW(hwnd, kBitmapProp)) {
                // Drawn at its own size from the top-left corner, not stretched.
                HDC mem = CreateCompatibleDC(dc);
                HGDIOBJ old = SelectObject(mem, static_cast<HBITMAP>(bmp));
                BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY);
                SelectObject(mem, old);
                DeleteDC(mem);
            } else {
                wchar_t text[1024];
                GetWindowTextW(hwnd, text, 1024);
                HGDIOBJ old = SelectObject(dc, static_cast<HFONT>(GetPropW(hwnd, kFontProp)));
                SetBkMode(dc, TRANSPARENT);
                SetTextColor(dc, RGB(0, 0, 0));
                DrawPanelText(hwnd, dc, text, rc);
                SelectObject(dc, old);
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_LBUTTONDBLCLK:
            SendMessageW(Root(hwnd), WM_BV_DBLCLK, static_cast<WPARAM>(CtlOfId(GetDlgCtrlID(hwnd))), 0);
            return 0;
        case WM_NCDESTROY:
            RemovePropW(hwnd, kFontProp);
            RemovePropW(hwnd, kBitmapProp);
            break;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK WizardWindow::MemoProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
    switch (msg) {
        case WM_GETDLGCODE: {
            // A multi-line edit wants every key, and in a window with a
            // keyboard interface it takes Tab (even with Ctrl) without ever
            // passing the focus on. Tab moves on from it as from any other
            // control (backwards with Shift); Enter keeps its line break.
            LRESULT code = DefSubclassProc(hwnd, msg, wp, lp);
            const MSG* key = reinterpret_cast<const MSG*>(lp);
            if (key && key->message == WM_KEYDOWN && key->wParam == VK_TAB)
                code &= ~static_cast<LRESULT>(DLGC_WANTTAB | DLGC_WANTALLKEYS);
            return code;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(hwnd, MemoProc, 0);
            break;
        default: break;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK WizardWindow::ContainerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT forwarded;
    if (ForwardToRoot(hwnd, msg, wp, lp, forwarded)) return forwarded;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace bv::win32
