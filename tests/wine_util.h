// Small helpers for Windows tests that run under Wine: host paths as the
// test sees them, and the window of a process the test started.
#pragma once
#include <windows.h>

#include <string>

namespace bv::test {

// A host (Unix) path as a Windows path, through Wine's Z: drive.
inline std::wstring HostToWine(const std::string& unix) {
    std::wstring path = L"Z:";
    for (char c : unix) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

// The visible top-level window of class `className` that process `pid`
// owns, or nullptr.
inline HWND FindProcessWindow(DWORD pid, const std::wstring& className) {
    struct Search {
        DWORD pid;
        const std::wstring& cls;
        HWND found = nullptr;
    } search{pid, className};
    EnumWindows(
        [](HWND hwnd, LPARAM lp) -> BOOL {
            auto* s = reinterpret_cast<Search*>(lp);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            wchar_t cls[64] = L"";
            GetClassNameW(hwnd, cls, 64);
            if (owner != s->pid || s->cls != cls || !IsWindowVisible(hwnd)) return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace bv::test
