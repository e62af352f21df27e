// Whole installations in the real window against real vendor servers (nginx
// on loopback, set up by the test fixture), with the program's own web,
// archive and shell services: the right files in the folder, the start-up
// members of the right archive, the shortcut, the log, and a stalled batch.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "app/system_services.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/shell.h"
#include "tests/app/screenshot.h"
#include "tests/wine_util.h"
#include "tests/app/wizard_fixture.h"
#include "transfer/notify.h"
#include "web/signed_list.h"
#include "web/vendor.h"

namespace bv {
namespace {

using test::Wizard;

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::filesystem::path FixtureDir() { return std::filesystem::path(test::HostToWine(BV_E2E_DIR)); }

std::wstring Port(const char* site) {
    std::string text = ReadText(FixtureDir() / (std::string(site) + ".port"));
    text.erase(text.find_last_not_of("\r\n ") + 1);
    return std::wstring(text.begin(), text.end());
}

std::vector<std::wstring> Files(const std::wstring& folder) {
    std::vector<std::wstring> names = fs::FindFiles(folder, L"*");
    std::sort(names.begin(), names.end());
    return names;
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(FixtureDir() / "main.port")) << "the servers were not started";
        Notify.Init(NotifyCode::KeepList);
        Notify.Init(NotifyCode::Idle);
    }
    void TearDown() override {
        ResetVendorHostForTesting();
        std::filesystem::remove_all(std::filesystem::path(Root()));
    }

    std::unique_ptr<Wizard> Open(const char* site) {
        std::wstring host = L"--vendor-host=127.0.0.1:" + Port(site);
        return std::make_unique<Wizard>(std::vector<std::wstring>{L"-L", L"-D"}, [host](TMainF& f) {
            UseSystemServices(f);
            ASSERT_TRUE(ParseVendorHostOption({host}));
        });
    }
    static std::wstring Root() { return L"C:\\bve2e-" + std::to_wstring(GetCurrentProcessId()); }
    static std::wstring Folder(const std::wstring& name) {
        std::wstring folder = Root() + L"\\" + name;
        std::filesystem::remove_all(std::filesystem::path(folder));
        return folder;
    }
    static std::string LogOf(Wizard&) { return ReadText(std::filesystem::path(LogFileName())); }
};

TEST_F(EndToEnd, WorkedBatchesInstallFromTheVendorServer) {
    const std::vector<std::wstring> common = {L"BVTuner.exe", L"FLYTABLE.BVG", L"TrimTool.exe",
                                              L"bv_badge.gif", L"linkup.exe",  L"worklist.lst"};
    struct Case {
        const wchar_t* name;
        int language, sire, program;
        std::vector<std::wstring> downloaded;  // besides BaseFiles.zip and the music file
        std::vector<std::wstring> extra;       // start-up members beyond the common six
        std::string archive;                   // the archive the members came from
        std::wstring linkName, linkTarget;
        std::vector<std::wstring> requests;    // log lines in this order
    };
    const Case cases[] = {
        {L"EnglishUSA", 0, 0, 0, {L"ZODed.exe", L"bvsires.usa"}, {}, "basefiles.zip", L"Bovista 500", L"ZODed.exe",
         {L"DownloadNextFile starting for zoded.___", L"DownloadNextFile starting for bvsires.usa",
          L"DownloadNextFile starting for basefiles.zip", L"UnzipExtraBaseFiles-- basefiles.zip"}},
        // The archive's BVLANG.ITA replaces the downloaded bvlang.ita (one
        // file: names are compared without case).
        {L"Italian", 2, -1, 0, {L"ZODed.exe", L"bvsires.ita"},
         {L"BVBASE.DAT", L"BVBASE.TXT", L"BVLANG.DAT", L"BVLANG.ITA"}, "basefiles_ita.zip", L"Bovista 500",
         L"ZODed.exe",
         {L"Batchlist.add = bvlang.ita;bvlang.ita", L"DownloadNextFile starting for basefiles_ita.zip",
          L"UnzipExtraBaseFiles-- basefiles_ita.zip"}},
        // The Spanish archive is missing, so the generic one is fetched in its
        // place: its members are the common six; the Spanish ones asked for
        // under the variant's name are not in it.
        {L"SpanishCanada", 1, 1, 0, {L"ZODed.exe", L"bvlang.spa", L"bvsires.cdn"}, {}, "basefiles.zip", L"Bovista 500", L"ZODed.exe",
         {L"DownloadNextFile starting for basefiles_spa.zip", L"DownloadFileDirect Not saved:",
          L"basefiles.zip", L"DownloadFileDirect  Saved to", L"UnzipExtraBaseFiles-- basefiles_spa.zip",
          L"STOCK1.DAT"}},
        {L"ClientNone", 0, 6, 1, {L"RUVuvevu.exe", L"ZOVozivu.exe"}, {}, "basefiles.zip", L"BV Client",
         L"ZOVozivu.exe",
         {L"DownloadNextFile starting for zovozivu.___", L"DownloadNextFile starting for ruvuvevu.___",
          L"Creating shortcut", L"BV Client.lnk", L"Created shortcut."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        auto w = Open("main");
        std::wstring folder = Folder(c.name);
        bool first = &c == &cases[0];
        ASSERT_TRUE(w->Install(folder, c.language, c.sire, c.program, [&] {
            if (first) {
                std::filesystem::create_directories("screenshots");
                EXPECT_TRUE(test::SaveWindowPng(w->window.Handle(Ctl::MainF), "screenshots/download-during.png"));
            }
        }));
        ASSERT_TRUE(w->window.IsEnabled(Ctl::btnFinish)) << "the batch did not finish";
        if (first) {
            EXPECT_TRUE(test::SaveWindowPng(w->window.Handle(Ctl::MainF), "screenshots/download-after.png"));
        }

        // Every file is there, the executables renamed, no ".___" left.
        std::vector<std::wstring> expected = c.downloaded;
        expected.insert(expected.end(), common.begin(), common.end());
        expected.insert(expected.end(), c.extra.begin(), c.extra.end());
        expected.push_back(L"BaseFiles.zip");
        expected.push_back(L"ipanema.mid");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Files(folder), expected);
        EXPECT_TRUE(fs::FindFiles(folder, L"*.___").empty());
        // The start-up members came out of the archive the batch fetched.
        std::string badge = ReadText(std::filesystem::path(folder) / "worklist.lst");
        EXPECT_NE(badge.find("from " + c.archive), std::string::npos) << badge;

        // The shortcut, with its target and working folder.
        std::wstring link = shell::DesktopFolder() + L"\\" + c.linkName + L".lnk";
        std::wstring target, workdir;
        ASSERT_TRUE(shell::ReadShellLink(link, target, workdir));
        EXPECT_EQ(target, folder + L"\\" + c.linkTarget);
        EXPECT_EQ(workdir, folder + L"\\");
        EXPECT_TRUE(fs::FileExists(target));
        (void)fs::RemoveFile(link);

        // The log tells the same story, in order.
        std::string log = LogOf(*w);
        size_t at = 0;
        for (const std::wstring& line : c.requests) {
            size_t found = log.find(std::string(line.begin(), line.end()), at);
            EXPECT_NE(found, std::string::npos) << std::string(line.begin(), line.end());
            if (found != std::string::npos) at = found;
        }
    }
}

// The tune through the real media player: without a sound device (as under
// Wine here) starting and stopping stay silent and change nothing.
TEST_F(EndToEnd, MusicAfterAnInstallationIsSilentWithoutADevice) {
    auto w = Open("main");
    std::wstring folder = Folder(L"Music");
    ASSERT_TRUE(w->Install(folder, 0, 6, 4));
    ASSERT_TRUE(fs::FileExists(folder + L"\\ipanema.mid"));
    w->form.btMusicClick();
    w->form.btMusicClick();
    EXPECT_TRUE(w->questions.errors.empty());
    EXPECT_TRUE(fs::FileExists(folder + L"\\ipanema.mid"));
    (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Ranger.lnk");
}

// The maintenance page's direct GET writes to C:\try: without that folder
// the file cannot be created and the standard error box says so.
TEST_F(EndToEnd, MaintenanceDirectGet) {
    std::filesystem::remove_all(std::filesystem::path(L"C:\\try"));
    auto w = Open("main");
    w->window.ShowPage(Ctl::TabSheet2);
    w->Click(Ctl::Button1);
    ASSERT_EQ(w->questions.errors.size(), 1u);
    EXPECT_NE(w->questions.errors[0].find(L"zoded.___"), std::wstring::npos) << std::string(
        w->questions.errors[0].begin(), w->questions.errors[0].end());
    ASSERT_TRUE(fs::ForceDirectories(L"C:\\try"));
    w->Click(Ctl::Button1);
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Sucessfully downloaded c:\\try\\zoded.___");
    EXPECT_TRUE(fs::FileExists(L"C:\\try\\zoded.___"));
    // Button3 renames it, as the finish would.
    w->form.InstallFolder = L"C:\\try\\";
    w->Click(Ctl::Button3);
    EXPECT_TRUE(fs::FileExists(L"C:\\try\\zoded.exe"));
    std::filesystem::remove_all(std::filesystem::path(L"C:\\try"));
}

TEST_F(EndToEnd, AMissingSecondFileStallsTheBatch) {
    auto w = Open("stall");
    std::wstring folder = Folder(L"Stall");
    ASSERT_TRUE(w->Install(folder, 0, 0, 0));
    EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(w->window.IsVisible(Ctl::pb));
    EXPECT_EQ(w->window.Lines(Ctl::memDownload).back(), L"Downloading " + folder + L"\\bvsires.usa ...");
    EXPECT_NE(w->window.GetText(Ctl::pnBottom).find(L"Failed to download from URL: "), std::wstring::npos);
    EXPECT_FALSE(fs::FileExists(folder + L"\\bvsires.usa"));
    // The server saw the first two files asked for, and never the third.
    std::string access = ReadText(FixtureDir() / "stall-run" / "access.log");
    EXPECT_NE(access.find("GET /bvfiles/bvstartup/zoded.___ "), std::string::npos) << access;
    EXPECT_NE(access.find("GET /bvfiles/bvstartup/bvsires.usa "), std::string::npos) << access;
    EXPECT_EQ(access.find("basefiles"), std::string::npos) << access;
}

// The program itself, unattended, as a deployment tool runs it: from a
// known current folder (where its log goes), with its output in a file.
struct AutoRun {
    DWORD exitCode = 99;
    std::string output;  // standard output and error together
    std::string log;
};

// Runs the program with exactly these parameters.
AutoRun RunProgram(const std::wstring& args, const std::wstring& cwd, const std::function<void()>& whileRunning = nullptr) {
    AutoRun run;
    std::wstring exe = test::HostToWine(BVSTARTUP_EXE_PATH);
    std::wstring outPath = cwd + L"\\auto-output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(), &si, &pi)) {
        ADD_FAILURE() << "the program did not start";
        CloseHandle(out);
        return run;
    }
    if (whileRunning) whileRunning();
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 90000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out);
    run.output = ReadText(std::filesystem::path(outPath));
    for (const std::wstring& name : fs::FindFiles(cwd, L"BVSTARTUP_*.txt"))
        run.log += ReadText(std::filesystem::path(cwd + L"\\" + name));
    return run;
}

AutoRun RunAuto(const std::wstring& args, const std::wstring& cwd, const std::function<void()>& whileRunning = nullptr) {
    return RunProgram(L"-L --auto " + args, cwd, whileRunning);
}

std::string Narrow(const std::wstring& text) { return os::ToAnsi(text); }

// Exit status 0 for a complete installation, 4 for a stalled one, 6 for one
// whose finishing steps went wrong; a value file that holds no address is a
// failed lookup, and the fixed fallback address serves the installation.
TEST_F(EndToEnd, UnattendedProgramExitStatus) {
    struct Case {
        const char* site;
        const wchar_t* name;
        DWORD exitCode;
        std::function<void(const std::wstring& folder)> arrange;  // before the run
        std::vector<std::string> told;  // in the output and the log
        std::vector<std::string> logged;
    };
    auto readOnlyExe = [](const std::wstring& folder) {
        ASSERT_TRUE(fs::ForceDirectories(folder));
        ASSERT_TRUE(fs::WriteFile(folder + L"\\ZODed.exe", "old"));
        ASSERT_TRUE(SetFileAttributesW((folder + L"\\ZODed.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    };
    // A download target that cannot be written: a folder stands where the
    // file goes. (A read-only file does not stop Wine when it runs as root.)
    auto blockedTarget = [](const std::wstring& folder) {
        ASSERT_TRUE(fs::ForceDirectories(folder + L"\\bvsires.usa"));
    };
    // An existing installation: the operator's own work list, which a
    // damaged start-up member must not cost.
    auto operatorsWorklist = [](const std::wstring& folder) {
        ASSERT_TRUE(fs::ForceDirectories(folder));
        ASSERT_TRUE(fs::WriteFile(folder + L"\\worklist.lst", "the operator's own work list"));
    };
    // A folder where the shortcut goes: the shell cannot save the link.
    std::wstring linkFile = shell::DesktopFolder() + L"\\Bovista 500.lnk";
    auto linkBlocked = [&](const std::wstring&) {
        (void)fs::RemoveFile(linkFile);
        ASSERT_TRUE(fs::ForceDirectories(linkFile));
    };
    std::string denied = Narrow(os::SystemErrorText(ERROR_ACCESS_DENIED));
    const Case cases[] = {
        {"main", L"AutoDone", 0, nullptr, {}, {}},
        {"stall", L"AutoStall", 4, nullptr, {"the download stalled"},
         {"DownloadFileDirect Not saved: ", "bvsires.usa - HTTP/1.1 404"}},
        {"main", L"AutoReadOnlyExe", 6, readOnlyExe,
         {"problem: ", "ZODed.___ was not renamed to ", "ZODed.exe: " + denied},
         {"renameExe failed: ", "ZODed.exe: " + denied}},
        {"main", L"AutoNoShortcut", 6, linkBlocked,
         {"problem: the shortcut " + Narrow(linkFile) + " could not be written (saving failed): "},
         {"Shortcut not created: the shortcut " + Narrow(linkFile)}},
        {"badzip", L"AutoBadMember", 6, nullptr,
         {"problem: start-up file worklist.lst: Invalid size or check sum"},
         {"UnzipExtraBaseFiles problem: start-up file worklist.lst: Invalid size or check sum"}},
        {"badzip", L"AutoKeepsWorklist", 6, operatorsWorklist,
         {"problem: start-up file worklist.lst: Invalid size or check sum", "\\worklist.lst was kept"},
         {"\\worklist.lst was kept"}},
        {"empty", L"AutoEmptyValue", 0, nullptr, {}, {"the value file holds no address (0 bytes)", "Ostrel URL is http://127.0.0.1:"}},
        {"html", L"AutoHtmlValue", 0, nullptr, {}, {"holds no address", "<!DOCTYPE html> <html>", "Ostrel URL is http://127.0.0.1:"}},
        {"ftp", L"AutoFtpValue", 0, nullptr, {}, {"holds no address", "ftp://127.0.0.1/", "Ostrel URL is http://127.0.0.1:"}},
        // A file that cannot be put where a download goes: the batch
        // stalls, and the log says why.
        {"main", L"AutoBlockedTarget", 4, blockedTarget, {"the download stalled"},
         {"DownloadFileDirect Not saved: ", "bvsires.usa - the file could not be put in place: " + denied}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        std::wstring folder = Folder(c.name);
        std::wstring cwd = Folder(std::wstring(c.name) + L"-cwd");
        ASSERT_TRUE(fs::ForceDirectories(cwd));
        if (c.arrange) c.arrange(folder);
        AutoRun run = RunAuto(L"--folder=" + folder + L" --vendor-host=127.0.0.1:" + Port(c.site), cwd);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_EQ(fs::FileExists(folder + L"\\ZODed.exe"), c.exitCode != 4);
        for (const std::string& text : c.told) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        for (const std::string& text : c.logged) EXPECT_NE(run.log.find(text), std::string::npos) << text << "\n" << run.log;
        if (c.exitCode == 0) {
            EXPECT_EQ(run.output.find("problem"), std::string::npos) << run.output;
        }
        if (fs::DirectoryExists(linkFile)) (void)fs::RemoveFolder(linkFile);
        SetFileAttributesW((folder + L"\\ZODed.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Bovista 500.lnk");
}

// The bad line in front of the site with a program file of several MiB:
// its control for the next requests, and the lines it logged since `from`.
void SetLine(const std::string& json) {
    std::ofstream(FixtureDir() / "cut.ctl", std::ios::binary | std::ios::trunc) << json;
}
std::string LineLog() { return ReadText(FixtureDir() / "cut.log"); }

struct Served {
    size_t requests = 0;
    uint64_t sent = 0;
    std::vector<std::string> ranges;  // the Range of each request ("-": none)
};
// What the line served of `path` in its log text.
Served ServedOf(const std::string& log, const std::string& path) {
    Served s;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("GET " + path + " ", 0) != 0) continue;
        ++s.requests;
        size_t r = line.find(" range="), st = line.find(" status="), se = line.find(" sent=");
        s.ranges.push_back(line.substr(r + 7, st - r - 7));
        s.sent += std::stoull(line.substr(se + 6));
    }
    return s;
}

const char kBigPath[] = "/bvfiles/bvstartup/zoded.___";

std::string BigProgram() { return ReadText(FixtureDir() / "big-site" / "bvfiles" / "bvstartup" / "zoded.___"); }

// Over a line that cuts every connection after 1 MiB, a program file of
// several MiB installs with --retries: each call's own retry asks for the
// rest, each stall waits and continues from the partial file, and the file
// arrives identical with each byte sent about once. Without --retries the
// same run stalls with status 4 and leaves no partial file behind.
TEST_F(EndToEnd, UnattendedRetriesOverALineThatCuts) {
    const std::string big = BigProgram();
    ASSERT_GT(big.size(), 6u << 20);
    SetLine("{\"cut\": 1048576, \"range\": true}");
    struct Case {
        const wchar_t* name;
        const wchar_t* retries;
        DWORD exitCode;
    };
    for (const Case& c : {Case{L"CutRetried", L" --retries=20", 0}, Case{L"CutNoRetries", L"", 4}}) {
        SCOPED_TRACE(Narrow(c.name));
        std::wstring folder = Folder(c.name);
        std::wstring cwd = Folder(std::wstring(c.name) + L"-cwd");
        ASSERT_TRUE(fs::ForceDirectories(cwd));
        size_t before = LineLog().size();
        AutoRun run = RunAuto(L"--folder=" + folder + L" --vendor-host=127.0.0.1:" + Port("cut") + c.retries, cwd);
        Served served = ServedOf(LineLog().substr(before), kBigPath);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(fs::FindFiles(folder, L"*.part").empty());
        if (c.exitCode == 0) {
            EXPECT_TRUE(ReadText(std::filesystem::path(folder + L"\\ZODed.exe")) == big);
            // The first request for the whole file, each further one for the rest.
            ASSERT_GE(served.requests, 6u);
            EXPECT_EQ(served.ranges[0], "-");
            for (size_t i = 1; i < served.requests; ++i)
                EXPECT_EQ(served.ranges[i], "bytes=" + std::to_string(i * 1048576) + "-");
            EXPECT_LE(served.sent, big.size() + big.size() / 10);
            EXPECT_NE(run.output.find("retry 1 of 20 in 1 s: " + Narrow(folder) + "\\ZODed.___"), std::string::npos)
                << run.output;
            EXPECT_NE(run.output.find("retry 2 of 20 in 2 s: "), std::string::npos) << run.output;
            EXPECT_NE(run.log.find("Retry of " + Narrow(folder) + "\\ZODed.___"), std::string::npos) << run.log;
            std::cout << "line cut every 1 MiB: " << served.requests << " requests, " << served.sent
                      << " bytes sent for " << big.size() << " installed\n";
        } else {
            EXPECT_FALSE(fs::FileExists(folder + L"\\ZODed.___"));
            EXPECT_FALSE(fs::FileExists(folder + L"\\ZODed.exe"));
            EXPECT_EQ(served.requests, 2u);
            EXPECT_NE(run.output.find("the download stalled"), std::string::npos) << run.output;
            EXPECT_EQ(run.output.find("retry "), std::string::npos) << run.output;
        }
        (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Bovista 500.lnk");
    }
    SetLine("{}");
}

// A reinstall whose server now lacks a file keeps the installed copy of it
// as it was: a failed download never touches the file it would replace.
TEST_F(EndToEnd, AReinstallWithoutAFileKeepsTheInstalledOne) {
    SetLine("{}");
    std::wstring folder = Folder(L"Reinstall");
    std::wstring cwd = Folder(L"Reinstall-cwd");
    ASSERT_TRUE(fs::ForceDirectories(cwd));
    std::wstring args = L"--folder=" + folder + L" --vendor-host=127.0.0.1:" + Port("cut");
    AutoRun first = RunAuto(args, cwd);
    ASSERT_EQ(first.exitCode, 0u) << first.output;
    std::string installed = ReadText(std::filesystem::path(folder + L"\\bvsires.usa"));
    ASSERT_FALSE(installed.empty());
    SetLine("{\"missing\": [\"bvsires.usa\"]}");
    AutoRun second = RunAuto(args, cwd);
    SetLine("{}");
    EXPECT_EQ(second.exitCode, 4u) << second.output;
    EXPECT_TRUE(ReadText(std::filesystem::path(folder + L"\\bvsires.usa")) == installed);
    EXPECT_TRUE(fs::FindFiles(folder, L"*.part").empty());
    (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Bovista 500.lnk");
}

// The real window: a batch stalled on a file the server lacks shows Retry
// beside the disabled Finish, with the focus on it; once the file is there,
// Retry fetches it and the batch goes on to the end without fetching the
// files already saved.
TEST_F(EndToEnd, RetryFinishesAStalledBatch) {
    SetLine("{\"missing\": [\"bvsires.usa\"]}");
    auto w = Open("cut");
    std::wstring folder = Folder(L"Retry");
    size_t before = LineLog().size();
    ASSERT_TRUE(w->Install(folder, 0, 0, 0));
    EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(w->window.IsVisible(Ctl::btnRetry));
    EXPECT_EQ(GetFocus(), w->window.Handle(Ctl::btnRetry));
    EXPECT_TRUE(w->form.Stalled());
    EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.___"));
    w->window.Repaint(Ctl::MainF);
    w->window.PumpMessages();
    EXPECT_TRUE(test::SaveWindowPng(w->window.Handle(Ctl::MainF), "screenshots/download-stalled-retry.png"));
    std::string stalled = LineLog().substr(before);
    EXPECT_EQ(ServedOf(stalled, kBigPath).requests, 1u) << stalled;
    EXPECT_EQ(ServedOf(stalled, "/bvfiles/bvstartup/bvsires.usa").requests, 2u) << stalled;

    SetLine("{}");
    size_t beforeRetry = LineLog().size();
    w->Click(Ctl::btnRetry);
    for (int tick = 0; tick < 12 && !w->window.IsEnabled(Ctl::btnFinish); ++tick) {
        w->window.PumpMessages();
        w->form.NotifyTimerTimer();
    }
    SetLine("{}");
    EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
    EXPECT_FALSE(w->window.IsVisible(Ctl::btnRetry));
    EXPECT_FALSE(w->form.Stalled());
    EXPECT_TRUE(fs::FileExists(folder + L"\\bvsires.usa"));
    EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.exe"));
    std::string retried = LineLog().substr(beforeRetry);
    EXPECT_EQ(ServedOf(retried, kBigPath).requests, 0u) << retried;
    EXPECT_EQ(ServedOf(retried, "/bvfiles/bvstartup/bvsires.usa").requests, 1u) << retried;
    EXPECT_EQ(ServedOf(retried, "/bvfiles/bvstartup/basefiles.zip").requests, 1u) << retried;
    EXPECT_NE(LogOf(*w).find("Retry of " + Narrow(folder) + "\\bvsires.usa"), std::string::npos);
    (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Bovista 500.lnk");
}

// The vendor's signed list against a man in the middle and a vendor's
// mistakes: only a site whose list the built-in key verifies installs; every
// other run ends with status 7, keeps no file that failed (no ".exe", no
// ".___" of the failed file), writes no shortcut, and says which file and
// why on standard error and in the log.
TEST_F(EndToEnd, UnattendedTrustsOnlyTheVendorsSignedFiles) {
    if (!BuiltInVendorKey()) GTEST_SKIP() << "built without a vendor key (BV_VENDOR_KEY)";
    struct Case {
        const char* site;
        const wchar_t* name;
        DWORD exitCode;
        std::string cause;
    };
    const std::string differs = Narrow(TrustFailureText(kDigestDiffers));
    const std::string notListed = Narrow(TrustFailureText(kNotInList));
    const std::string missing = Narrow(TrustFailureText(kListMissing));
    const std::string badSignature = Narrow(TrustFailureText(kSignatureInvalid));
    const Case cases[] = {
        {"main", L"TrustSigned", 0, ""},
        {"flip", L"TrustFlippedByte", 7, differs},
        {"unlisted", L"TrustUnlisted", 7, notListed},
        {"otherkey", L"TrustOtherKey", 7, badSignature},
        {"nolist", L"TrustNoList", 7, missing},
        {"unsigned", L"TrustUnsigned", 7, badSignature},
        {"redirect", L"TrustRedirected", 7, badSignature},
    };
    const std::wstring linkFile = shell::DesktopFolder() + L"\\Bovista 500.lnk";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        std::wstring folder = Folder(c.name);
        std::wstring cwd = Folder(std::wstring(c.name) + L"-cwd");
        ASSERT_TRUE(fs::ForceDirectories(cwd));
        (void)fs::RemoveFile(linkFile);
        AutoRun run = RunAuto(L"--folder=" + folder + L" --vendor-host=127.0.0.1:" + Port(c.site), cwd);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output << run.log;
        EXPECT_EQ(fs::FileExists(linkFile), c.exitCode == 0);
        if (c.exitCode == 0) {
            EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.exe"));
            EXPECT_NE(run.log.find("VendorFiles: the signature of "), std::string::npos) << run.log;
            continue;
        }
        // The first file of the batch, ZODed.___, failed: nothing of it is
        // left, and nothing was renamed.
        EXPECT_TRUE(fs::FindFiles(folder, L"*.exe").empty());
        EXPECT_FALSE(fs::FileExists(folder + L"\\ZODed.___"));
        std::string told = "not trusted: " + Narrow(folder) + "\\ZODed.___: " + c.cause;
        EXPECT_NE(run.output.find("a download failed its integrity check"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(told), std::string::npos) << told << "\n" << run.output;
        std::string logged = "DownloadFileDirect Not saved: " + Narrow(folder) + "\\ZODed.___ - " + c.cause;
        EXPECT_NE(run.log.find(logged), std::string::npos) << logged << "\n" << run.log;
    }
    (void)fs::RemoveFile(linkFile);
}

// Without a vendor key nothing is checked: a site with no valid list (here
// another server's own files) installs as before, and the log says once
// that downloads are not verified. With the key, the same site stalls.
TEST_F(EndToEnd, WithoutAKeyNothingIsVerified) {
    for (bool keyed : {false, true}) {
        SCOPED_TRACE(keyed ? "with the key" : "without a key");
        std::wstring host = L"--vendor-host=127.0.0.1:" + Port("evil");
        auto w = std::make_unique<Wizard>(std::vector<std::wstring>{L"-L", L"-D"}, [&](TMainF& f) {
            if (keyed)
                UseSystemServices(f);
            else
                UseSystemServices(f, std::nullopt);
            ParseVendorHostOption({host});
        });
        if (keyed && !BuiltInVendorKey()) continue;
        std::wstring folder = Folder(keyed ? L"EvilKeyed" : L"EvilKeyless");
        ASSERT_TRUE(w->Install(folder, 0, 6, 4));
        std::string log = LogOf(*w);
        const std::string unverified = "downloads are not verified";
        if (!keyed) {
            EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
            EXPECT_TRUE(fs::FileExists(folder + L"\\RangerWin.exe"));
            EXPECT_TRUE(w->form.UntrustedFiles.empty());
            size_t once = log.find(unverified);
            EXPECT_NE(once, std::string::npos) << log;
            EXPECT_EQ(log.find(unverified, once + 1), std::string::npos) << log;
        } else {
            EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
            EXPECT_FALSE(fs::FileExists(folder + L"\\RangerWin.exe"));
            EXPECT_FALSE(fs::FileExists(folder + L"\\RangerWin.___"));
            // The music file and the first file of the batch.
            EXPECT_EQ(w->form.UntrustedFiles.size(), 2u);
            EXPECT_EQ(log.find(unverified), std::string::npos) << log;
        }
        (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Ranger.lnk");
    }
}

// An old program held open without sharing by another process (as a
// running program is) cannot be replaced: the installation ends with status
// 6 and the system's reason.
TEST_F(EndToEnd, UnattendedOverAProgramHeldOpen) {
    std::wstring folder = Folder(L"AutoHeld");
    std::wstring cwd = Folder(L"AutoHeld-cwd");
    ASSERT_TRUE(fs::ForceDirectories(folder));
    ASSERT_TRUE(fs::ForceDirectories(cwd));
    ASSERT_TRUE(fs::WriteFile(folder + L"\\ZODed.exe", "old"));
    HANDLE held = CreateFileW((folder + L"\\ZODed.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    AutoRun run = RunAuto(L"--folder=" + folder + L" --vendor-host=127.0.0.1:" + Port("main"), cwd);
    CloseHandle(held);
    std::string cause = Narrow(os::SystemErrorText(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(run.exitCode, 6u) << run.output;
    EXPECT_NE(run.output.find("ZODed.exe: " + cause), std::string::npos) << run.output;
    EXPECT_NE(run.log.find("renameExe failed: "), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("ZODed.exe: " + cause), std::string::npos) << run.log;
    EXPECT_EQ(ReadText(std::filesystem::path(folder + L"\\ZODed.exe")), "old");
    EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.___"));
    (void)fs::RemoveFile(shell::DesktopFolder() + L"\\Bovista 500.lnk");
}

// A relative folder is taken from the current folder and made absolute
// before anything uses it: the folder, the log and the shortcut name it in
// full.
TEST_F(EndToEnd, UnattendedRelativeFolderBecomesAbsolute) {
    std::wstring cwd = Folder(L"RelCwd");
    ASSERT_TRUE(fs::ForceDirectories(cwd));
    AutoRun run = RunAuto(L"--folder=Farm --vendor-host=127.0.0.1:" + Port("main"), cwd);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::wstring folder = cwd + L"\\Farm";
    EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.exe"));
    EXPECT_NE(run.log.find("InitInstallFolder = " + Narrow(folder) + "\\"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("DownloadNextFile starting for zoded.___ and " + Narrow(folder) + "\\ZODed.___"),
              std::string::npos) << run.log;
    std::wstring link = shell::DesktopFolder() + L"\\Bovista 500.lnk", target, workdir;
    ASSERT_TRUE(shell::ReadShellLink(link, target, workdir));
    EXPECT_EQ(target, folder + L"\\ZODed.exe");
    EXPECT_EQ(workdir, folder + L"\\");
    (void)fs::RemoveFile(link);
}

// The options of an unattended run as an administrator writes them, slips
// included. A misspelt option, a bad value wherever it stands, a malformed
// vendor host: the run ends with status 1 and the problem named, before
// anything is made or fetched. Choices left out are the pages' own. An
// existing folder that refuses new files is refused by the folder page.
TEST_F(EndToEnd, UnattendedOptionCases) {
    std::string how = ReadText(FixtureDir() / "locked.how");
    how.erase(how.find_last_not_of("\r\n ") + 1);
    std::wstring locked = test::HostToWine(BV_E2E_DIR) + L"\\locked";
    const std::wstring vendor = L"--vendor-host=127.0.0.1:" + Port("main");
    const std::wstring desktop = shell::DesktopFolder();
    struct Case {
        const wchar_t* name;
        std::wstring args;  // "FOLDER" stands for the case's folder
        DWORD exitCode;
        std::vector<std::string> told;  // on standard output or error
        std::vector<std::wstring> installed = {};  // files the folder must hold
        std::vector<std::wstring> absent = {};     // files it must not hold
        std::wstring link = {};                    // the shortcut written
    };
    const Case cases[] = {
        {L"Misspelt", L"-L --auto --folder=FOLDER --langauge=ita --sire=ita --program=0 " + vendor, 1,
         {"unknown option --langauge=ita"}},
        {L"BadValueFirst", L"-L --language=xx --auto --folder=FOLDER " + vendor, 1,
         {"unknown language 'xx' (one of: eng spa ita ger fra rus dut por chn pol cze svk est)"}},
        {L"BadProgramFirst", L"--program=9 -L --folder=FOLDER --auto " + vendor, 1, {"unknown program '9' (0 to 5)"}},
        {L"Italian", L"-L --auto --folder=FOLDER --language=ita " + vendor, 0,
         {"language file: ITA Italiano", "sire file: ITA Italiano", "installing Bovista", "Install complete"},
         {L"ZODed.exe", L"bvlang.ita", L"bvsires.ita", L"BVLANG.DAT"}, {L"bvsires.usa"}, L"Bovista 500"},
        {L"ZOVOZIVU", L"-L --auto --folder=FOLDER " + vendor, 0,
         {"language file: ENG English", "sire file: USA  USA", "installing ZOVozivu", "Install complete"},
         {L"ZOVozivu.exe", L"RUVuvevu.exe", L"bvsires.usa"}, {L"ZODed.exe"}, L"BV Client"},
        {L"PortZero", L"-L --auto --folder=FOLDER --vendor-host=127.0.0.1:0", 1,
         {"bad option --vendor-host=127.0.0.1:0: the vendor host is given as HOST or HOST:PORT"}},
        {L"Port70000", L"-L --auto --folder=FOLDER --vendor-host=127.0.0.1:70000", 1,
         {"bad option --vendor-host=127.0.0.1:70000: "}},
        {L"Garbage", L"-L --auto --folder=FOLDER --vendor-host=gar$bage!", 1, {"bad option --vendor-host=gar$bage!: "}},
        {L"Url", L"-L --auto --folder=FOLDER --vendor-host=http://127.0.0.1:" + Port("main") + L"/", 1,
         {"bad option --vendor-host=http://127.0.0.1:" + Narrow(Port("main")) + "/: "}},
        {L"Empty", L"-L --auto --folder=FOLDER --vendor-host=", 1, {"bad option --vendor-host=: "}},
        // Each problem is named, the vendor host's first.
        {L"Several", L"-L --auto --folder=FOLDER --sire=xyz --retries=x --vendor-host=h:0 --music", 1,
         {"bad option --vendor-host=h:0: ", "unknown sire file 'xyz'", "--retries=x", "unknown option --music"}},
        {L"Locked", L"-L --auto --folder=" + locked + L" " + vendor, 3,
         {"Unable to create installation folder", "the installation folder page refused to go on"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        bool lockedCase = std::wstring(c.name) == L"Locked";
        if (lockedCase && how == "none") {
            ADD_FAILURE() << "the fixture could not make a folder that refuses new files";
            continue;
        }
        std::wstring folder = lockedCase ? locked : Folder(L"Opt" + std::wstring(c.name));
        if (std::wstring(c.name) == L"ZOVOZIVU") folder = Folder(L"Farm-ZOVOZIVU");
        std::wstring cwd = Folder(std::wstring(c.name) + L"-cwd");
        ASSERT_TRUE(fs::ForceDirectories(cwd));
        std::wstring args = c.args;
        size_t at = args.find(L"FOLDER");
        if (at != std::wstring::npos) args.replace(at, 6, folder);
        std::string accessBefore = ReadText(FixtureDir() / "main-run" / "access.log");
        std::vector<std::wstring> linksBefore = fs::FindFiles(desktop, L"*.lnk");

        AutoRun run = RunProgram(args, cwd);

        std::string asked = ReadText(FixtureDir() / "main-run" / "access.log").substr(accessBefore.size());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        for (const std::string& text : c.told) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        if (c.exitCode == 0) {
            for (const std::wstring& name : c.installed)
                EXPECT_TRUE(fs::FileExists(folder + L"\\" + name)) << Narrow(name);
            for (const std::wstring& name : c.absent)
                EXPECT_FALSE(fs::FileExists(folder + L"\\" + name)) << Narrow(name);
            EXPECT_TRUE(fs::FileExists(desktop + L"\\" + c.link + L".lnk"));
            (void)fs::RemoveFile(desktop + L"\\" + c.link + L".lnk");
            continue;
        }
        // Refused: nothing asked of the server, nothing made.
        EXPECT_EQ(asked, "");
        EXPECT_EQ(fs::FindFiles(desktop, L"*.lnk"), linksBefore);
        if (lockedCase) {
            EXPECT_TRUE(fs::ListDirectory(folder).empty());
            EXPECT_NE(run.log.find("InitInstallFolder cannot write in " + Narrow(folder) + "\\: "), std::string::npos)
                << run.log;
            EXPECT_NE(run.log.find("InitInstallFolder was not created."), std::string::npos) << run.log;
        } else {
            EXPECT_FALSE(fs::DirectoryExists(folder));
            // Not even the log: the run ended before it read its switches.
            EXPECT_EQ(fs::FindFiles(cwd, L"*"), std::vector<std::wstring>{L"auto-output.txt"});
        }
    }
}

}  // namespace
}  // namespace bv

namespace bv {
namespace {

// The maintenance page's transfer-client download in the real window:
// Button2 fetches Edit1's file from nginx into the install folder in the
// background; the next tick shows the byte count and the outcome and runs
// the finishing steps.
TEST_F(EndToEnd, MaintenanceClientGet) {
    auto w = Open("main");
    dmClient = w->module.get();
    struct Unset {
        ~Unset() { dmClient = nullptr; }
    } unset;
    std::wstring folder = Folder(L"ClientGet");
    ASSERT_TRUE(fs::ForceDirectories(folder));
    w->form.InstallFolder = folder + L"\\";
    w->window.ShowPage(Ctl::TabSheet2);
    ASSERT_EQ(w->window.GetText(Ctl::Edit1), L"bvlang.pol");
    w->Click(Ctl::Button2);
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Downloading bvlang.pol ...");
    const std::wstring dest = folder + L"\\bvlang.pol";
    EXPECT_EQ(w->window.Lines(Ctl::memDownload), std::vector<std::wstring>{L"Downloading " + dest + L" ..."});
    for (int i = 0; i < 400 && !Notify.Read().nfReady; ++i) {
        w->window.PumpMessages();
        Sleep(25);
    }
    ASSERT_TRUE(Notify.Read().nfReady);
    std::string site = ReadText(FixtureDir() / "main-site" / "bvfiles" / "bvstartup" / "bvlang.pol");
    ASSERT_FALSE(site.empty());
    EXPECT_EQ(ReadText(std::filesystem::path(dest)), site);
    w->form.NotifyTimerTimer();
    w->window.PumpMessages();
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Install complete");
    EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
    std::vector<std::wstring> memo = w->window.Lines(Ctl::memDownload);
    // No start-up archive was fetched, so the finishing run reports each
    // start-up file as a problem after "Done".
    auto done = std::find(memo.begin(), memo.end(), L"Done");
    ASSERT_NE(done, memo.end());
    ASSERT_NE(done + 1, memo.end());
    for (auto line = done + 1; line != memo.end(); ++line)
        EXPECT_EQ(line->rfind(L"Problem: start-up file ", 0), 0u) << os::ToUtf8(*line);
    std::string log = LogOf(*w);
    auto at = [&](const std::string& text) { return log.find(text); };
    EXPECT_NE(at("DownloadFile  url: 127.0.0.1:" + os::ToUtf8(Port("main")) +
                 ", hostfilename: /bvfiles/bvstartup/bvlang.pol, destname: " + os::ToUtf8(dest)),
              std::string::npos);
    // The tick shows the byte count, then the outcome, then finishes.
    size_t bytes = at("(logg) " + std::to_string(site.size()) + " bytes");
    size_t saved = at("(logg) Saved to " + os::ToUtf8(dest));
    size_t complete = at("(logg) Install complete");
    ASSERT_NE(bytes, std::string::npos);
    ASSERT_NE(saved, std::string::npos);
    ASSERT_NE(complete, std::string::npos);
    EXPECT_LT(bytes, saved);
    EXPECT_LT(saved, complete);
    w->window.ShowPage(Ctl::TabSheet2);
    w->window.PumpMessages();
    std::filesystem::create_directories("screenshots");
    EXPECT_TRUE(test::SaveWindowPng(w->window.Handle(Ctl::MainF), "screenshots/ClientGet.png"));
}

}  // namespace
}  // namespace bv
