// The stand-in program, started under the names the demo site gives it: its
// window names the program, and its Close button ends it.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/wine_util.h"

namespace {

std::wstring Text(HWND hwnd) {
    wchar_t buf[512] = L"";
    GetWindowTextW(hwnd, buf, 512);
    return buf;
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
    ASSERT_TRUE(CopyFileW(bv::test::HostToWine(STANDIN_EXE_PATH).c_str(), exe.wstring().c_str(), FALSE)) << GetLastError();
    if (*c.trailer) std::ofstream(exe, std::ios::binary | std::ios::app) << c.trailer;

    std::wstring cmd = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.wstring().c_str(), &si, &pi))
        << "error " << GetLastError();
    HWND main = nullptr;
    for (int i = 0; i < 300 && !main; ++i) {
        Sleep(50);
        main = bv::test::FindProcessWindow(pi.dwProcessId, L"BovistaStandIn");
    }
    EXPECT_NE(main, nullptr) << "no stand-in window";
    if (main) {
        EXPECT_EQ(Text(main), std::wstring(c.shownName) + L" (Bovista stand-in)");
        Children ch;
        EnumChildWindows(main, ChildProc, reinterpret_cast<LPARAM>(&ch));
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
