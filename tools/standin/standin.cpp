// A stand-in for the Bovista programs on the demo server: a small window that
// names the program it was saved as (ZODed.exe shows "Bovista stand-in: ZODed")
// and closes on its button. It needs nothing beyond Windows itself.
#include <windows.h>

namespace {

const wchar_t kClassName[] = L"BovistaStandIn";
const int kCloseId = IDCANCEL;

// Plain wide buffers and kernel32's string calls, so that the program
// stays a few kilobytes without the C++ library.
const int kTextMax = 400;
wchar_t gName[MAX_PATH] = L"unknown";

// The program's own file name without folder and extension.
void FindProgramName() {
    wchar_t path[32768];
    DWORD n = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    if (n == 0 || n >= ARRAYSIZE(path)) return;
    const wchar_t* start = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') start = p + 1;
    wchar_t* dot = nullptr;
    for (wchar_t* p = const_cast<wchar_t*>(start) + 1; *p; ++p)
        if (*p == L'.') dot = p;
    if (dot) *dot = L'\0';
    if (*start && lstrlenW(start) < MAX_PATH) lstrcpyW(gName, start);
}

void AddChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w,
              int h, int id) {
    HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                                 parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: {
        wchar_t text[kTextMax];
        lstrcpyW(text, L"Bovista stand-in: ");
        lstrcatW(text, gName);
        AddChild(hwnd, L"STATIC", text, SS_LEFT, 16, 16, 320, 20, -1);
        lstrcpyW(text, L"This small program takes the place of ");
        lstrcatW(text, gName);
        lstrcatW(text, L" in demos and tests.");
        AddChild(hwnd, L"STATIC", text, SS_LEFT, 16, 40, 320, 36, -1);
        AddChild(hwnd, L"BUTTON", L"Close", BS_DEFPUSHBUTTON | WS_TABSTOP, 248, 84, 88, 26, kCloseId);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wp) == kCloseId) DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassW(&wc)) return 1;

    FindProgramName();
    wchar_t title[kTextMax];
    lstrcpyW(title, gName);
    lstrcatW(title, L" (Bovista stand-in)");
    RECT r{0, 0, 352, 126};
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&r, style, FALSE);
    HWND hwnd = CreateWindowExW(0, kClassName, title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    if (!hwnd) return 1;
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Dialog keys: Enter presses the default button, Escape the Close button.
        if (IsDialogMessageW(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
