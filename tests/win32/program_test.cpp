// The program itself, started as a user would: its log file and its start-up
// order.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/win32/wine_util.h"

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

}  // namespace
