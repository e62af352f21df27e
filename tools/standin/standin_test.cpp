// The stand-in program, started under the names the demo site gives it: its
// window names the program, and its Close button ends it.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::wstring StandinPath() {
    // The build tree's path, seen through Wine's Z: drive.
    std::string unix = STANDIN_EXE_PATH;
    std::wstring path = L"Z:";
    for (char c : unix) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

std::wstring Text(HWND hwnd) {
    wchar_t buf[512] = L"";
    GetWindowTextW(hwnd, buf, 512);
    return buf;
}

struct Found {
    DWORD pid;
    HWND main = nullptr;
};

BOOL CALLBACK FindMainProc(HWND hwnd, LPARAM lp) {
    auto* f = reinterpret_cast<Found*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64] = L"";
    GetClassNameW(hwnd, cls, 64);
    if (pid == f->pid && std::wstring(cls) == L"BovistaStandIn" && IsWindowVisible(hwnd)) {
        f->main = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct Children {
    std::vector<std::wstring> statics;
    HWND close = nullptr;
};

BOOL CALLBACK ChildProc(HWND hwnd, LPARAM lp) {
    auto* c = reinterpret_cast<Children*>(lp);
    wchar_t cls[64] = L"";
    GetClassNameW(hwnd, cls, 64);
    if (lstrcmpiW(cls, L"Static") == 0) c->statics.push_back(Text(hwnd));
    if (lstrcmpiW(cls, L"Button") == 0 && Text(hwnd) == L"Close") c->close = hwnd;
    return TRUE;
}

struct Case {
    const wchar_t* fileName;
    const char* trailer;  // appended after the image, as the site's archives do
    const wchar_t* shownName;
};

class StandinTest : public testing::TestWithParam<Case> {};

TEST_P(StandinTest, NamesItselfAndClosesOnItsButton) {
    const Case& c = GetParam();
    std::filesystem::path dir = std::filesystem::current_path() / "standin_scratch";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::path exe = dir / c.fileName;
    ASSERT_TRUE(CopyFileW(StandinPath().c_str(), exe.wstring().c_str(), FALSE)) << GetLastError();
    if (*c.trailer) std::ofstream(exe, std::ios::binary | std::ios::app) << c.trailer;

    std::wstring cmd = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.wstring().c_str(), &si, &pi))
        << "error " << GetLastError();
    Found f{pi.dwProcessId};
    for (int i = 0; i < 300 && !f.main; ++i) {
        Sleep(50);
        EnumWindows(FindMainProc, reinterpret_cast<LPARAM>(&f));
    }
    EXPECT_NE(f.main, nullptr) << "no stand-in window";
    if (f.main) {
        EXPECT_EQ(Text(f.main), std::wstring(c.shownName) + L" (Bovista stand-in)");
        Children ch;
        EnumChildWindows(f.main, ChildProc, reinterpret_cast<LPARAM>(&ch));
        ASSERT_FALSE(ch.statics.empty());
        EXPECT_EQ(ch.statics[0], std::wstring(L"Bovista stand-in: ") + c.shownName);
        EXPECT_NE(ch.close, nullptr) << "no Close button";
        if (ch.close) PostMessageW(ch.close, BM_CLICK, 0, 0);
    }
    DWORD waited = WaitForSingleObject(pi.hProcess, 10000);
    if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the stand-in did not close";
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

INSTANTIATE_TEST_SUITE_P(
    Names, StandinTest,
    testing::Values(Case{L"ZODed.exe", "", L"ZODed"},
                    Case{L"TrimTool.exe", "\r\nBovista start-up data: TrimTool.exe from basefiles.zip\r\n",
                         L"TrimTool"}));

}  // namespace
