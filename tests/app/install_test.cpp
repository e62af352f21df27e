// The wizard's pages and its installation run in the real window, with the
// web, archive, shell and music services replaced by recording fakes and
// files in a scratch folder on drive C:.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "platform/fs.h"
#include "platform/os.h"
#include "app/unattended.h"
#include "tests/app/wizard_fixture.h"
#include "transfer/notify.h"

namespace bv {
namespace {

using test::Wizard;

std::wstring Root() {
    static const std::wstring root = L"C:\\bvtest-" + std::to_wstring(GetCurrentProcessId());
    return root;
}

// A fake vendor server and desktop: what was asked for, and what happened.
struct Fakes {
    std::vector<std::wstring> urls;
    std::set<std::wstring> missing;  // remote names the server does not have
    // Remote names that arrive but that the vendor's signed list does not
    // vouch for (the product's service deletes them).
    std::set<std::wstring> untrusted;
    Error last;  // why the last download failed
    bool online = true;
    std::vector<std::pair<std::wstring, std::wstring>> unzips;  // remote name, folder
    std::vector<std::pair<std::wstring, std::wstring>> links;   // target, link file
    std::vector<std::wstring> music;
    std::vector<std::wstring> discarded;  // partial files the wizard removed
    std::wstring bvDir;
    std::vector<Error> unzipProblems;  // what the extraction answers
    bool linkFails = false;

    void Install(TMainF& f) {
        WizardServices& s = f.Services;
        s.ReadSetting = [this](const std::wstring& name) { return name == L"BVDir" ? bvDir : L""; };
        s.VendorAuthority = [] { return std::wstring(L"vendor.test"); };
        s.CheckForInternet = [this](const std::wstring& host, uint32_t ms) {
            EXPECT_EQ(host, L"vendor.test");
            EXPECT_EQ(ms, 2000u);
            return online || SkipSwitch;
        };
        s.GetServerBaseURL = [] { return std::wstring(L"http://vendor.test/dl/"); };
        s.DownloadToFile = [this](const std::wstring& url, const std::wstring& path) {
            urls.push_back(url);
            std::wstring name = url.substr(url.find_last_of(L'/') + 1);
            if (missing.count(name)) {
                last = Error{kNotFetched, 0, L"HTTP/1.1 404 Not Found"};
                return false;
            }
            if (untrusted.count(name)) {
                last = Error{kNotTrusted, 0, L"SHA-256 differs from the vendor's signed list"};
                return false;
            }
            std::string body(name.begin(), name.end());
            return fs::WriteFile(path, body).ok();
        };
        s.DownloadFailure = [this] { return last; };
        s.DiscardPartial = [this](const std::wstring& path) { discarded.push_back(path); };
        s.UnzipExtraBaseFiles = [this](const std::wstring& folder, const std::wstring& remote, Questions&) {
            unzips.emplace_back(remote, folder);
            return unzipProblems;
        };
        s.DesktopFolder = [] { return Root() + L"\\Desktop"; };
        s.SaveShellLink = [this](const std::wstring& target, const std::wstring& link) -> Result<void> {
            links.emplace_back(target, link);
            if (linkFails) return Error{1, ERROR_ACCESS_DENIED, L"saving failed"};
            EXPECT_TRUE(fs::WriteFile(link, "link"));
            return {};
        };
        s.PlayFile = [this](const std::wstring& path) { music.push_back(L"play " + path); };
        s.StopPlaying = [this] { music.push_back(L"stop"); };
    }
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        for (const std::wstring& u : urls) names.push_back(u.substr(u.find_last_of(L'/') + 1));
        return names;
    }
};

class InstallTest : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(HostRoot());
        ASSERT_TRUE(fs::ForceDirectories(Root() + L"\\Desktop"));
        Notify.Init(NotifyCode::KeepList);
        Notify.Init(NotifyCode::Idle);
    }
    void TearDown() override { std::filesystem::remove_all(HostRoot()); }
    static std::filesystem::path HostRoot() { return std::filesystem::path(Root()); }

    std::unique_ptr<Wizard> Open(std::vector<std::wstring> params = {}) {
        return std::make_unique<Wizard>(params, [this](TMainF& f) { fakes.Install(f); });
    }
    std::vector<std::wstring> FolderFiles(const std::wstring& folder) {
        std::vector<std::wstring> names = fs::FindFiles(folder, L"*");
        std::sort(names.begin(), names.end());
        return names;
    }

    Fakes fakes;
};


// Starts an unattended run in the wizard and lets the timer tick (ten times at
// most) until the run closes the window.
void RunToEnd(Wizard& w, Unattended& run) {
    w.window.SetQuestions(run);
    run.Start();
    for (int tick = 0; tick < 10 && !w.window.Destroyed(); ++tick) {
        w.window.PumpMessages();
        if (!w.window.Destroyed()) w.form.NotifyTimerTimer();
    }
    w.window.PumpMessages();
}

TEST_F(InstallTest, CandidateFolders) {
    struct Case {
        std::vector<std::wstring> params;
        std::wstring bvDir;
        std::vector<std::wstring> items;
    };
    const std::vector<std::wstring> fixed = {L"C:\\BV500", L"C:\\ZOVOZIVU", L"C:\\BVCON", L"C:\\RANGER", L"C:\\BV"};
    auto with = [&](std::vector<std::wstring> front, std::vector<std::wstring> back) {
        front.insert(front.end(), fixed.begin(), fixed.end());
        front.insert(front.end(), back.begin(), back.end());
        return front;
    };
    const Case cases[] = {
        {{}, L"", fixed},
        {{L"-D"}, L"", with({L"C:\\TRY"}, {})},
        {{}, L"D:\\Farm", with({}, {L"D:\\Farm"})},
        {{}, L"c:\\bv500", fixed},
        {{}, L"C:\\BV500\\", with({}, {L"C:\\BV500\\"})},
    };
    for (const Case& c : cases) {
        fakes.bvDir = c.bvDir;
        auto w = Open(c.params);
        EXPECT_EQ(w->window.Items(Ctl::lbxInstallFolder), c.items);
        EXPECT_EQ(w->window.GetText(Ctl::edInstallFolder), c.items.front());
        EXPECT_EQ(w->window.ItemIndex(Ctl::lbxInstallFolder), 0);
        // A click on another candidate puts it into the edit box.
        w->window.SetItemIndex(Ctl::lbxInstallFolder, 2);
        w->form.lbxInstallFolderClick();
        EXPECT_EQ(w->window.GetText(Ctl::edInstallFolder), c.items[2]);
    }
}

TEST_F(InstallTest, AnUnreadableSettingsStoreLeavesTheFixedCandidates) {
    auto w = std::make_unique<Wizard>(std::vector<std::wstring>{}, [this](TMainF& f) {
        fakes.Install(f);
        f.Services.ReadSetting = [](const std::wstring&) -> std::wstring {
            throw AppError(L"EInOutError", L"Access denied.");
        };
    });
    EXPECT_EQ(w->window.Items(Ctl::lbxInstallFolder).size(), 5u);
    EXPECT_EQ(w->window.GetText(Ctl::edInstallFolder), L"C:\\BV500");
    EXPECT_EQ(w->questions.errors, std::vector<std::wstring>{L"Access denied."});
}

TEST_F(InstallTest, FolderTextsAcceptedAndRefused) {
    std::wstring farm = Root() + L"\\Farm";
    ASSERT_TRUE(fs::WriteFile(Root() + L"\\afile", "x"));
    struct Case {
        std::wstring text;
        bool accepted;
        std::wstring folder;   // InstallFolder afterwards
        std::wstring message;  // message box, if any
        std::wstring shown = L"";  // the edit box afterwards, when it changed
    };
    // Relative folders are taken from the current folder, made absolute,
    // and the edit box shows what is used.
    wchar_t previous[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(fs::ForceDirectories(Root() + L"\\cwd"));
    ASSERT_TRUE(SetCurrentDirectoryW((Root() + L"\\cwd").c_str()));
    const Case cases[] = {
        {L"Farm", true, Root() + L"\\cwd\\Farm\\", L"", Root() + L"\\cwd\\Farm"},
        {L" ..\\x\\ ", true, Root() + L"\\x\\", L"", Root() + L"\\x\\"},
        {L"..\\afile", false, Root() + L"\\afile", L"Unable to create installation folder", Root() + L"\\afile"},
        {farm + L"\\", true, farm + L"\\", L""},
        {farm, true, farm + L"\\", L""},
        {L"  " + farm + L"\\sub\\deeper  ", true, farm + L"\\sub\\deeper\\", L""},
        // The backslash goes before the blanks, so this one keeps it.
        {farm + L"\\ ", true, farm + L"\\", L""},
        {L"", false, L"", L"Must define installation folder"},
        {L"   ", false, L"", L"Must define installation folder"},
        {L"\\", false, L"", L"Must define installation folder"},
        {Root() + L"\\afile", false, Root() + L"\\afile", L"Unable to create installation folder"},
        // A bare drive is its root, so file names never become drive-relative.
        {L"C:\\", true, L"C:\\", L""},
        {L"C:", true, L"C:\\", L""},
    };
    for (const Case& c : cases) {
        auto w = Open();
        w->window.SetText(Ctl::edInstallFolder, c.text);
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        EXPECT_EQ(w->form.InitInstallFolder(), c.accepted);
        EXPECT_EQ(w->form.InstallFolder, c.folder);
        if (c.accepted) {
            EXPECT_TRUE(fs::DirectoryExists(c.folder));
        }
        EXPECT_EQ(w->questions.messages,
                  c.message.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{c.message});
        EXPECT_EQ(w->window.GetText(Ctl::edInstallFolder), c.shown.empty() ? c.text : c.shown);
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(InstallTest, FolderPageIsLeftOnlyWithAFolderAndAConnection) {
    auto w = Open();
    std::wstring folder = Root() + L"\\BV500";
    w->window.SetText(Ctl::edInstallFolder, folder);
    fakes.online = false;
    w->Click(Ctl::btnNext1);
    EXPECT_EQ(w->window.ActivePage(), Ctl::tbInstallFolder);
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Unable to connect to internet");
    EXPECT_TRUE(fs::DirectoryExists(folder));  // created all the same
    EXPECT_TRUE(fakes.urls.empty());           // and no music fetched
    fakes.online = true;
    w->Click(Ctl::btnNext1);
    EXPECT_EQ(w->window.ActivePage(), Ctl::tbSelectLangfiles);
    EXPECT_EQ(fakes.urls, std::vector<std::wstring>{L"http://vendor.test/dl/ipanema.mid"});
    EXPECT_TRUE(fs::FileExists(folder + L"\\ipanema.mid"));
    // The music notice neither shows nor starts anything on the next tick.
    w->window.SetText(Ctl::pnBottom, L"");
    w->form.NotifyTimerTimer();
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"");
    EXPECT_EQ(fakes.urls.size(), 1u);
    EXPECT_TRUE(w->window.Lines(Ctl::memDownload).empty());
}

TEST_F(InstallTest, SkipSwitchPassesTheCheckOffline) {
    auto w = Open({L"-P"});
    fakes.online = false;
    w->window.SetText(Ctl::edInstallFolder, Root() + L"\\P");
    w->Click(Ctl::btnNext1);
    EXPECT_EQ(w->window.ActivePage(), Ctl::tbSelectLangfiles);
}

TEST_F(InstallTest, WorkedBatches) {
    struct Case {
        int language, sire, program;
        std::set<std::wstring> missing;
        std::vector<std::wstring> requested;  // after the music file
        std::wstring archiveAs;
        std::wstring linkName, linkTarget;
        std::vector<std::wstring> files;
    };
    const Case cases[] = {
        {0, 0, 0, {}, {L"zoded.___", L"bvsires.usa", L"basefiles.zip"}, L"basefiles.zip", L"Bovista 500",
         L"ZODed.exe", {L"BaseFiles.zip", L"ZODed.exe", L"bvsires.usa", L"ipanema.mid"}},
        {2, -1, 0, {}, {L"zoded.___", L"bvlang.ita", L"bvsires.ita", L"basefiles_ita.zip"}, L"basefiles_ita.zip",
         L"Bovista 500", L"ZODed.exe",
         {L"BaseFiles.zip", L"ZODed.exe", L"bvlang.ita", L"bvsires.ita", L"ipanema.mid"}},
        {1, 1, 0, {L"basefiles_spa.zip"},
         {L"zoded.___", L"bvlang.spa", L"bvsires.cdn", L"basefiles_spa.zip", L"basefiles.zip"}, L"basefiles_spa.zip",
         L"Bovista 500", L"ZODed.exe",
         {L"BaseFiles.zip", L"ZODed.exe", L"bvlang.spa", L"bvsires.cdn", L"ipanema.mid"}},
        {0, 6, 1, {}, {L"zovozivu.___", L"ruvuvevu.___", L"basefiles.zip"}, L"basefiles.zip", L"BV Client",
         L"ZOVozivu.exe", {L"BaseFiles.zip", L"RUVuvevu.exe", L"ZOVozivu.exe", L"ipanema.mid"}},
        {0, 6, 5, {}, {L"lumenwin.___", L"basefiles.zip"}, L"basefiles.zip", L"Bovista Lumen", L"ZODed.exe",
         {L"BaseFiles.zip", L"ZODed.exe", L"ipanema.mid"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << n);
        std::wstring folder = Root() + L"\\Run" + std::to_wstring(n++);
        fakes = Fakes{};
        fakes.missing = c.missing;
        auto w = Open();
        ASSERT_TRUE(w->Install(folder, c.language, c.sire, c.program));
        std::vector<std::wstring> names = fakes.Names();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.front(), L"ipanema.mid");
        names.erase(names.begin());
        EXPECT_EQ(names, c.requested);
        EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
        EXPECT_FALSE(w->window.IsVisible(Ctl::pb));
        EXPECT_EQ(w->window.GetText(Ctl::Panel6), L"Install complete");
        EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Install complete");
        EXPECT_EQ(w->window.Lines(Ctl::memDownload).back(), L"Done");
        // One memo line per file started, the fallback included, none for the music.
        EXPECT_EQ(w->window.Lines(Ctl::memDownload).size(), c.requested.size() + 1);
        ASSERT_EQ(fakes.unzips.size(), 1u);
        EXPECT_EQ(fakes.unzips[0].first, c.archiveAs);
        EXPECT_EQ(fakes.unzips[0].second, folder + L"\\");
        ASSERT_EQ(fakes.links.size(), 1u);
        EXPECT_EQ(fakes.links[0].first, folder + L"\\" + c.linkTarget);
        EXPECT_EQ(fakes.links[0].second, Root() + L"\\Desktop\\" + c.linkName + L".lnk");
        EXPECT_EQ(FolderFiles(folder), c.files);
        EXPECT_EQ(fakes.music, std::vector<std::wstring>{});  // nothing played, nothing to stop
    }
}

std::string LogText() {
    Result<std::string> bytes = fs::ReadFile(LogFileName());
    return bytes ? bytes.value() : std::string();
}

// The finishing steps report what went wrong, each with its cause: an old
// program that cannot be replaced, a start-up member that was not
// extracted, a shortcut that was not written. The completion texts stay;
// a memo line and a log line tell each problem, and the unattended mode
// lists them on its error output and ends with status 6.
TEST_F(InstallTest, FinishingProblemsAreReported) {
    std::wstring folder = Root() + L"\\Fin";
    std::wstring denied = os::SystemErrorText(ERROR_ACCESS_DENIED);
    struct Case {
        const char* name;
        std::function<void(Fakes&)> arrange;
        std::wstring problem;  // empty: a clean finish
        std::string logged;
    };
    const Case cases[] = {
        {"clean", nullptr, L"", ""},
        {"read-only program",
         [&](Fakes&) {
             ASSERT_TRUE(fs::ForceDirectories(folder));
             ASSERT_TRUE(fs::WriteFile(folder + L"\\RangerWin.exe", "old"));
             ASSERT_TRUE(SetFileAttributesW((folder + L"\\RangerWin.exe").c_str(), FILE_ATTRIBUTE_READONLY));
         },
         folder + L"\\RangerWin.___ was not renamed to " + folder + L"\\RangerWin.exe: " + denied,
         "renameExe failed: "},
        {"member failed",
         [](Fakes& f) {
             f.unzipProblems = {Error{8, 0, L"start-up file worklist.lst: Invalid size or check sum of file"}};
         },
         L"start-up file worklist.lst: Invalid size or check sum of file", ""},
        {"no shortcut", [](Fakes& f) { f.linkFails = true; },
         L"the shortcut " + Root() + L"\\Desktop\\Ranger.lnk could not be written (saving failed): " + denied,
         "Shortcut not created: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool unattended : {false, true}) {
            SetFileAttributesW((folder + L"\\RangerWin.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
            std::filesystem::remove_all(std::filesystem::path(folder));
            fakes = Fakes{};
            if (c.arrange) c.arrange(fakes);
            auto w = Open({L"-L"});
            if (!unattended) {
                ASSERT_TRUE(w->Install(folder, 3, 6, 4));
                ASSERT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
                EXPECT_EQ(w->window.GetText(Ctl::Panel6), L"Install complete");
                EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Install complete");
                std::vector<std::wstring> memo = w->window.Lines(Ctl::memDownload);
                std::vector<std::wstring> tail(memo.end() - (c.problem.empty() ? 1 : 2), memo.end());
                std::vector<std::wstring> problems;
                if (!c.problem.empty()) problems.push_back(c.problem);
                std::vector<std::wstring> expectedTail = {L"Done"};
                for (const std::wstring& p : problems) expectedTail.push_back(L"Problem: " + p);
                EXPECT_EQ(tail, expectedTail);
                EXPECT_EQ(w->form.FinishProblems, problems);
                std::string log = LogText();
                if (!c.logged.empty()) {
                    EXPECT_NE(log.find(c.logged + os::ToAnsi(c.problem)), std::string::npos) << log;
                }
                continue;
            }
            std::FILE* out = std::tmpfile();
            std::FILE* err = std::tmpfile();
            UnattendedOptions options;
            ASSERT_TRUE(ParseUnattended({L"--auto", L"--folder=" + folder, L"--language=ger", L"--program=4"}, options)
                            .empty());
            Unattended run(w->form, options, out, err);
            RunToEnd(*w, run);
            EXPECT_EQ(run.ExitCode(), c.problem.empty() ? kExitInstalled : kExitInstalledWithProblems);
            std::rewind(err);
            std::string e;
            char buf[512];
            while (std::fgets(buf, sizeof buf, err)) e += buf;
            std::fclose(out);
            std::fclose(err);
            EXPECT_EQ(e, c.problem.empty() ? "" : "installed with problems:\nproblem: " + os::ToUtf8(c.problem) + "\n");
        }
        SetFileAttributesW((folder + L"\\RangerWin.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(InstallTest, AFailedFileStallsTheBatch) {
    fakes.missing = {L"bvsires.usa"};
    auto w = Open({L"-L"});
    std::wstring folder = Root() + L"\\Stall";
    ASSERT_TRUE(w->Install(folder, 0, 0, 0));
    // The log line of the failure says why (here the fake server's answer).
    EXPECT_NE(LogText().find(os::ToAnsi(L"DownloadFileDirect Not saved: " + folder +
                                        L"\\bvsires.usa - HTTP/1.1 404 Not Found")),
              std::string::npos);
    EXPECT_EQ(fakes.Names(), (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___", L"bvsires.usa"}));
    EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
    EXPECT_TRUE(w->window.IsVisible(Ctl::pb));
    EXPECT_EQ(w->window.Lines(Ctl::memDownload).back(), L"Downloading " + folder + L"\\bvsires.usa ...");
    // The failed file waits at the front of the batch for Retry.
    ASSERT_EQ(w->form.Batchlist->size(), 2u);
    EXPECT_EQ(w->form.Batchlist->front().local, L"bvsires.usa");
    EXPECT_TRUE(w->form.Stalled());
    EXPECT_TRUE(w->window.IsVisible(Ctl::btnRetry));
    EXPECT_TRUE(fakes.links.empty());
}

// Retry checks the connection and fetches the file the batch stalled on,
// then the batch goes on to the end; files already saved are not fetched
// again. Offline, Retry stays. Closing a wizard whose batch stalled removes
// what the failed file left; a finished batch leaves nothing to remove.
TEST_F(InstallTest, RetryGoesOnFromTheStalledFile) {
    for (bool closeStalled : {false, true}) {
        SCOPED_TRACE(closeStalled ? "closed while stalled" : "retried to the end");
        fakes = Fakes{};
        fakes.missing = {L"bvsires.usa"};
        auto w = Open({L"-L"});
        std::wstring folder = Root() + (closeStalled ? L"\\Closed" : L"\\Retried");
        ASSERT_TRUE(w->Install(folder, 0, 0, 0));
        ASSERT_TRUE(w->form.Stalled());
        EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
        if (closeStalled) {
            w->window.Close();
            EXPECT_EQ(fakes.discarded, std::vector<std::wstring>{folder + L"\\bvsires.usa"});
            continue;
        }
        // Offline: nothing is fetched, the batch stays stalled.
        fakes.online = false;
        fakes.urls.clear();
        w->Click(Ctl::btnRetry);
        EXPECT_TRUE(fakes.urls.empty());
        EXPECT_TRUE(w->form.Stalled());
        EXPECT_TRUE(w->window.IsVisible(Ctl::btnRetry));
        EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Unable to connect to internet");
        // Online, with the file there now.
        fakes.online = true;
        fakes.missing.clear();
        w->Click(Ctl::btnRetry);
        for (int tick = 0; tick < 12 && !w->window.IsEnabled(Ctl::btnFinish); ++tick) w->form.NotifyTimerTimer();
        EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
        EXPECT_FALSE(w->window.IsVisible(Ctl::btnRetry));
        EXPECT_FALSE(w->form.Stalled());
        EXPECT_EQ(fakes.Names(), (std::vector<std::wstring>{L"bvsires.usa", L"basefiles.zip"}));
        size_t retries = 0;
        for (size_t at = 0; (at = LogText().find("Retry of ", at)) != std::string::npos; ++at) ++retries;
        EXPECT_EQ(retries, 2u);
        EXPECT_NE(LogText().find(os::ToAnsi(L"Retry of " + folder + L"\\bvsires.usa")), std::string::npos);
        w->window.Close();
        EXPECT_TRUE(fakes.discarded.empty());
    }
}

// A start-up archive variant that is missing falls back to the generic
// archive; one that arrived and failed the vendor's check is a failure: the
// batch stalls there, nothing is renamed, extracted or linked, and the
// status panel says why.
TEST_F(InstallTest, AnUntrustedArchiveVariantDoesNotFallBack) {
    fakes.untrusted = {L"basefiles_ita.zip"};
    auto w = Open({L"-L"});
    std::wstring folder = Root() + L"\\Untrusted";
    ASSERT_TRUE(w->Install(folder, 2, -1, 0));
    EXPECT_EQ(fakes.Names(), (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___", L"bvlang.ita", L"bvsires.ita",
                                                        L"basefiles_ita.zip"}));
    EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
    std::wstring path = folder + L"\\BaseFiles.zip";
    EXPECT_EQ(w->form.UntrustedFiles,
              std::vector<std::wstring>{path + L": SHA-256 differs from the vendor's signed list"});
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom),
              L"Not saved: " + path + L" - SHA-256 differs from the vendor's signed list");
    EXPECT_TRUE(fakes.unzips.empty());
    EXPECT_TRUE(fakes.links.empty());
    EXPECT_TRUE(fs::FileExists(folder + L"\\ZODed.___"));
    EXPECT_FALSE(fs::FileExists(folder + L"\\ZODed.exe"));
}

TEST_F(InstallTest, AFolderNamedLikeTheMusicFileDoesNotStallTheBatch) {
    auto w = Open();
    std::wstring folder = Root() + L"\\farm.midwest";
    ASSERT_TRUE(w->Install(folder, 0, 6, 0));
    EXPECT_EQ(fakes.Names(), (std::vector<std::wstring>{L"ipanema.mid", L"zoded.___", L"basefiles.zip"}));
    EXPECT_TRUE(w->window.IsEnabled(Ctl::btnFinish));
    EXPECT_EQ(w->window.Lines(Ctl::memDownload).size(), 3u);
}

TEST_F(InstallTest, SelectionsCoupleAndPreselect) {
    auto w = Open({L"-D"});
    std::wstring folder = Root() + L"\\zovozivu2";
    w->window.SetText(Ctl::edInstallFolder, folder);
    w->Click(Ctl::btnNext1);
    // Italian brings the Italian sire file; the user may still change it.
    w->window.SetItemIndex(Ctl::rgLanguage, 2);
    w->Click(Ctl::btnNext3);
    EXPECT_EQ(w->form.LangExt, L"ita");
    EXPECT_EQ(w->window.ItemIndex(Ctl::rgSireFiles), 3);
    w->window.SetItemIndex(Ctl::rgSireFiles, 6);
    w->Click(Ctl::btnNext4);
    EXPECT_EQ(w->form.SireExt, L"");
    EXPECT_EQ(w->form.FSireFlag, 6);
    // A folder naming the client preselects it, with its warning.
    EXPECT_EQ(w->window.ItemIndex(Ctl::rgProgram), 1);
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"Be sure the server is up to date if only installing ZOVozivu.");
    w->window.SetItemIndex(Ctl::rgProgram, 2);
    EXPECT_EQ(w->window.GetText(Ctl::pnBottom), L"");
    // Reopening the language page and leaving it again couples once more.
    w->window.ShowPage(Ctl::tbSelectLangfiles);
    w->Click(Ctl::btnNext3);
    EXPECT_EQ(w->window.ItemIndex(Ctl::rgSireFiles), 3);
    w->Click(Ctl::btnNext4);
    EXPECT_EQ(w->form.SireExt, L"ita");
    EXPECT_EQ(w->form.FSireFlag, 3);
    EXPECT_EQ(w->window.ItemIndex(Ctl::rgProgram), 1);  // the earlier pick is not kept
}

TEST_F(InstallTest, RenameReplacesExecutablesAndTakesStaleOnes) {
    auto w = Open();
    std::wstring folder = Root() + L"\\Ren\\";
    ASSERT_TRUE(fs::ForceDirectories(folder));
    ASSERT_TRUE(fs::WriteFile(folder + L"RangerWin.___", "new"));
    ASSERT_TRUE(fs::WriteFile(folder + L"RangerWin.exe", "old"));
    ASSERT_TRUE(fs::WriteFile(folder + L"notes.txt", "keep"));
    w->form.InstallFolder = folder;
    EXPECT_TRUE(w->form.renameExe().empty());
    EXPECT_EQ(FolderFiles(folder), (std::vector<std::wstring>{L"RangerWin.exe", L"notes.txt"}));
    Result<std::string> bytes = fs::ReadFile(folder + L"RangerWin.exe");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes.value(), "new");
}

TEST_F(InstallTest, MusicButtonStartsOnceThenOnlyStops) {
    auto w = Open();
    std::wstring folder = Root() + L"\\M\\";
    ASSERT_TRUE(fs::ForceDirectories(folder));
    w->form.InstallFolder = folder;
    w->form.PlayMusic(false);  // nothing opened: nothing happens
    w->form.btMusicClick();    // no file yet: nothing happens, but the press counts
    ASSERT_TRUE(fs::WriteFile(folder + L"ipanema.mid", "MThd"));
    w->form.btMusicClick();    // a later press only stops, and nothing plays
    EXPECT_EQ(fakes.music, std::vector<std::wstring>{});
    auto w2 = Open();
    w2->form.InstallFolder = folder;
    w2->form.btMusicClick();
    w2->form.btMusicClick();
    w2->form.btMusicClick();
    EXPECT_EQ(fakes.music, (std::vector<std::wstring>{L"play " + folder + L"ipanema.mid", L"stop", L"stop"}));
}

TEST_F(InstallTest, FileCreationErrorReachesTheErrorBox) {
    auto w = Open({L"-L"});
    std::wstring folder = Root() + L"\\Err";
    fakes.online = true;
    w->window.SetText(Ctl::edInstallFolder, folder);
    w->Click(Ctl::btnNext1);
    w->form.Services.DownloadToFile = [](const std::wstring&, const std::wstring& path) -> bool {
        throw AppError(L"EFCreateError", L"Cannot create file \"" + path + L"\".");
    };
    w->Click(Ctl::btnNext3);
    w->Click(Ctl::btnNext4);
    w->Click(Ctl::btnNext5);
    ASSERT_EQ(w->questions.errors.size(), 1u);
    EXPECT_EQ(w->questions.errors[0], L"Cannot create file \"" + folder + L"\\ZODed.___\".");
    EXPECT_NE(LogText().find(os::ToAnsi(L"DownloadFileDirect Not saved: " + folder + L"\\ZODed.___ - Cannot create file")),
              std::string::npos);
    EXPECT_FALSE(Notify.Read().nfReady);
    EXPECT_FALSE(w->window.IsEnabled(Ctl::btnFinish));
}

}  // namespace
}  // namespace bv

namespace bv {
namespace {

// The unattended mode drives the real window: it ends with the exit status
// of the outcome and reports each file on its output.
TEST_F(InstallTest, UnattendedRunsToTheEndOrStalls) {
    struct Case {
        std::set<std::wstring> missing;
        bool online;
        int exitCode;
        std::set<std::wstring> untrusted = {};
    };
    const Case cases[] = {{{}, true, kExitInstalled}, {{L"bvlang.ger"}, true, kExitStalled},
                          {{}, false, kExitPageRefused}, {{}, true, kExitUntrusted, {L"bvsires.gbr"}}};
    for (const Case& c : cases) {
        fakes = Fakes{};
        fakes.missing = c.missing;
        fakes.untrusted = c.untrusted;
        fakes.online = c.online;
        auto w = Open();
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        UnattendedOptions options;
        ASSERT_TRUE(ParseUnattended({L"--auto", L"--folder=" + Root() + L"\\U", L"--language=ger", L"--sire=gbr",
                                     L"--program=4"},
                                    options)
                        .empty());
        Unattended run(w->form, options, out, err);
        RunToEnd(*w, run);
        EXPECT_TRUE(w->window.Destroyed());
        EXPECT_EQ(run.ExitCode(), c.exitCode);
        auto text = [](std::FILE* f) {
            std::rewind(f);
            std::string s;
            char buf[512];
            while (std::fgets(buf, sizeof buf, f)) s += buf;
            std::fclose(f);
            return s;
        };
        std::string o = text(out), e = text(err);
        if (c.exitCode == kExitInstalled) {
            EXPECT_NE(o.find("file 1 of 4: http://vendor.test/dl/rangerwin.___"), std::string::npos) << o;
            EXPECT_NE(o.find("file 4 of 4: saved, 13 bytes"), std::string::npos) << o;
            EXPECT_NE(o.find("Install complete"), std::string::npos) << o;
            EXPECT_EQ(e, "");
            EXPECT_EQ(fakes.links.size(), 1u);
        } else if (c.exitCode == kExitUntrusted) {
            EXPECT_NE(o.find("file 3 of 4: not saved"), std::string::npos) << o;
            EXPECT_NE(e.find("a download failed its integrity check"), std::string::npos) << e;
            EXPECT_NE(e.find("not trusted: " + os::ToUtf8(Root()) +
                             "\\U\\bvsires.gbr: SHA-256 differs from the vendor's signed list"),
                      std::string::npos)
                << e;
            EXPECT_TRUE(fakes.links.empty());
            EXPECT_TRUE(fakes.unzips.empty());
        } else if (c.exitCode == kExitStalled) {
            EXPECT_NE(o.find("file 2 of 4: not saved"), std::string::npos) << o;
            EXPECT_NE(e.find("the download stalled"), std::string::npos) << e;
        } else {
            EXPECT_NE(e.find("Unable to connect to internet"), std::string::npos) << e;
        }
    }
}

TEST_F(InstallTest, UnattendedWindowClosedBeforeTheEnd) {
    auto w = Open();
    UnattendedOptions options;
    ASSERT_TRUE(ParseUnattended({L"--auto", L"--folder=" + Root() + L"\\Early"}, options).empty());
    std::FILE* out = std::tmpfile();
    Unattended run(w->form, options, out, out);
    w->window.SetQuestions(run);
    run.Start();  // the first file is fetched; the rest waits for the timer
    w->window.Close();
    EXPECT_TRUE(w->window.Destroyed());
    EXPECT_EQ(run.ExitCode(), kExitClosedEarly);
    std::fclose(out);
}

}  // namespace
}  // namespace bv
