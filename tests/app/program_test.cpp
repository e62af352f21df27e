// The program itself, started as a user would: its log file and its start-up
// order.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/wine_util.h"

namespace {

// Starts the program in `dir`, waits for its window, runs `whileOpen`, then
// closes the window and waits for the program to end.
template <class Fn>
void RunProgram(const std::filesystem::path& dir, const std::wstring& args, Fn whileOpen) {
    std::wstring cmd = L"\"" + bv::test::HostToWine(BVSTARTUP_EXE_PATH) + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.wstring().c_str(), &si, &pi))
        << "error " << GetLastError() << " starting " << std::string(cmd.begin(), cmd.end());
    // Visible: created, filled, and the module made, as start-up does it.
    HWND main = nullptr;
    for (int i = 0; i < 300 && !main; ++i) {
        Sleep(50);
        main = bv::test::FindProcessWindow(pi.dwProcessId, L"BVStartupMain");
    }
    ASSERT_NE(main, nullptr) << "the wizard window did not appear";
    whileOpen();
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

std::filesystem::path Scratch(const char* name) {
    std::filesystem::path dir = std::filesystem::current_path() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The texts of the log's lines, after each stamp prefix and ":  ".
std::vector<std::string> LogTexts(const std::filesystem::path& dir) {
    std::vector<std::string> texts;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        EXPECT_EQ(name.rfind("BVSTARTUP_", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".txt");
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        size_t pos = 0;
        while (pos < all.size()) {
            size_t end = all.find("\r\n", pos);
            EXPECT_NE(end, std::string::npos) << "every line ends in CR LF";
            if (end == std::string::npos) break;
            std::string line = all.substr(pos, end - pos);
            EXPECT_GE(line.size(), 26u);
            texts.push_back(line.substr(26));
            EXPECT_EQ(line.substr(23, 3), ":  ") << line;
            pos = end + 2;
        }
    }
    return texts;
}

TEST(Program, WithTheLogSwitchItLogsItsStartUpInOrder) {
    std::filesystem::path dir = Scratch("program-log");
    RunProgram(dir, L"-L", [&] {
        EXPECT_EQ(LogTexts(dir), (std::vector<std::string>{"Logging begun.", "SetParams. Deeplogging on.",
                                                           "Form Create, 2 April 2024",
                                                           "Created Datamodule."}));
    });
    std::vector<std::string> texts = LogTexts(dir);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[4], "Closing form and application.");
}

TEST(Program, WithoutTheLogSwitchNoFileAppears) {
    std::filesystem::path dir = Scratch("program-nolog");
    RunProgram(dir, L"-D -P", [] {});
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// A malformed vendor host in the window: a message box names it, and the
// wizard does not start (no window, no log, status 1) rather than install
// from the build-time host.
TEST(Program, AMalformedVendorHostIsRefusedBeforeTheWindow) {
    for (const wchar_t* option : {L"--vendor-host=127.0.0.1:0", L"--vendor-host=gar$bage!", L"--vendor-host="}) {
        SCOPED_TRACE(std::string(option, option + wcslen(option)));
        std::filesystem::path dir = Scratch("program-badhost");
        std::wstring cmd = L"\"" + bv::test::HostToWine(BVSTARTUP_EXE_PATH) + L"\" -L " + option;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.wstring().c_str(), &si,
                                   &pi));
        HWND box = nullptr;
        for (int i = 0; i < 300 && !box; ++i) {
            Sleep(50);
            box = bv::test::FindProcessWindow(pi.dwProcessId, L"#32770");
        }
        ASSERT_NE(box, nullptr) << "no message box appeared";
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);
        EXPECT_EQ(std::wstring(text).rfind(std::wstring(L"bad option ") + option + L": ", 0), 0u)
            << std::string(text, text + wcslen(text));
        EXPECT_EQ(bv::test::FindProcessWindow(pi.dwProcessId, L"BVStartupMain"), nullptr);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        EXPECT_EQ(code, 1u);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
}

// ---- What the shell and deployment tools read from the programs ----

std::wstring Wide(const char* s) { return std::wstring(s, s + std::strlen(s)); }

// A string of the version resource's US English, Unicode block.
std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &len) || !value) return L"(none)";
    return std::wstring(value, len && value[len - 1] == 0 ? len - 1 : len);
}

struct Program {
    const char* path;
    const wchar_t* fileName;
    const wchar_t* description;
    bool windowed;
};

TEST(Program, CarriesVersionIconAndManifest) {
    const Program programs[] = {
        {BVSTARTUP_EXE_PATH, L"bvstartup.exe", L"Bovista Installer", true},
        {BVZIP_EXE_PATH, L"bvzip.exe", L"BVStartup ZIP tool", false},
    };
    for (const Program& p : programs) {
        std::wstring exe = bv::test::HostToWine(p.path);
        SCOPED_TRACE(std::string(p.path));

        // The version resource, as Explorer's Details tab reads it.
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
        ASSERT_GT(size, 0u);
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        unsigned v[4] = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                         HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
        std::wstring dotted = std::to_wstring(v[0]) + L"." + std::to_wstring(v[1]) + L"." + std::to_wstring(v[2]) +
                              L"." + std::to_wstring(v[3]);
        EXPECT_EQ(dotted, Wide(BV_VERSION));
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(VersionString(info, L"FileVersion"), Wide(BV_VERSION));
        EXPECT_EQ(VersionString(info, L"ProductVersion"), Wide(BV_VERSION));
        EXPECT_EQ(VersionString(info, L"ProductName"), L"BVStartup");
        EXPECT_EQ(VersionString(info, L"CompanyName"), L"Harrow Lane Software");
        EXPECT_EQ(VersionString(info, L"FileDescription"), p.description);
        EXPECT_EQ(VersionString(info, L"OriginalFilename"), p.fileName);

        HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << GetLastError();

        // The manifest the process is made with.
        HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        ASSERT_NE(res, nullptr);
        const char* xml = static_cast<const char*>(LockResource(LoadResource(module, res)));
        std::string manifest(xml, SizeofResource(module, res));
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                               "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
            EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"), std::string::npos) << os;
        EXPECT_NE(manifest.find("version=\"" BV_VERSION "\""), std::string::npos);
        for (const char* windowed : {"<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm<",
                                     ">PerMonitorV2, PerMonitor</dpiAwareness>",
                                     "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""})
            EXPECT_EQ(manifest.find(windowed) != std::string::npos, p.windowed) << windowed;

        // The product icon: a group with the shell's sizes up to 256 pixels,
        // which Windows' own icon reader takes at any of them.
        HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
        ASSERT_NE(group, nullptr);
        const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        int count = dir[4] | dir[5] << 8;
        std::vector<int> sizes;
        for (int i = 0; i < count; ++i) sizes.push_back(dir[6 + 14 * i] ? dir[6 + 14 * i] : 256);
        for (int want : {16, 24, 32, 48, 256})
            EXPECT_NE(std::find(sizes.begin(), sizes.end(), want), sizes.end()) << want;
        for (int want : {16, 32, 48, 256}) {
            HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, want, want, 0));
            ASSERT_NE(icon, nullptr) << want;
            ICONINFO ii{};
            ASSERT_TRUE(GetIconInfo(icon, &ii));
            BITMAP bm{};
            GetObjectW(ii.hbmColor, sizeof bm, &bm);
            EXPECT_EQ(bm.bmWidth, want);
            DeleteObject(ii.hbmColor);
            DeleteObject(ii.hbmMask);
            DestroyIcon(icon);
        }
        FreeLibrary(module);
    }
}

}  // namespace
