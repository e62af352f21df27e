// The wizard window's handlers.
#include "app/MainU.h"

#include <algorithm>

#include "app/layout.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "transfer/dmClient.h"
#include "util/log.h"
#include "transfer/notify.h"
#include "util/error.h"
#include "util/strings.h"

namespace bv {

bool TestMode = false;
bool SkipSwitch = false;
TMainF* MainF = nullptr;
const wchar_t kMusicFileName[] = L"ipanema.mid";

bool IsMusicPath(const std::wstring& text) {
    return NameOf(text).find(L".mid") != std::wstring::npos;
}

namespace {

constexpr uint32_t kLime = 0x00FF00;  // RGB 0, 255, 0

std::wstring Format2(const wchar_t* pattern, const std::wstring& a, const std::wstring& b) {
    std::wstring out = pattern;
    size_t pos = out.find(L"%s");
    if (pos != std::wstring::npos) out.replace(pos, 2, a), pos += a.size();
    pos = out.find(L"%s", pos);
    if (pos != std::wstring::npos) out.replace(pos, 2, b);
    return out;
}

}  // namespace

TMainF::TMainF(ui::View& view) : view_(view) {}

TMainF::~TMainF() = default;

void TMainF::FormCreate() {
    view_.SetText(Ctl::lblVersion, L"April 2024 Version");
    LangExt.clear();
    SireExt.clear();
    FSireFlag = 255;
    Batchlist = std::make_unique<std::vector<BatchEntry>>();
    SetParams(ParamsHook ? ParamsHook() : os::CommandLineParameters());
    WriteLog(L"Form Create, 2 April 2024");
    FillFolderCandidates();
}

void TMainF::SetParams(const std::vector<std::wstring>& params) {
    for (const std::wstring& p : params) {
        if (p.size() < 2 || p[0] != L'-') continue;
        switch (p[1]) {
            case L'D': case L'd': TestMode = true; break;
            case L'L': case L'l': DeepLogging = true; break;
            case L'P': case L'p': SkipSwitch = true; break;
            default: break;
        }
    }
    WriteLog(L"SetParams. Deeplogging on.");
}

void TMainF::FillFolderCandidates() {
    view_.ClearItems(Ctl::lbxInstallFolder);
    if (TestMode) view_.AddItem(Ctl::lbxInstallFolder, L"C:\\TRY");
    for (const wchar_t* folder : {L"C:\\BV500", L"C:\\ZOVOZIVU", L"C:\\BVCON", L"C:\\RANGER", L"C:\\BV"})
        view_.AddItem(Ctl::lbxInstallFolder, folder);
    std::wstring earlier;
    try {
        if (Services.ReadSetting) earlier = Services.ReadSetting(L"BVDir");
    } catch (const AppError& e) {
        // A settings store that cannot be read leaves the fixed candidates.
        view_.questions().ShowError(e.message());
    }
    if (!earlier.empty()) {
        bool known = false;
        std::wstring upper = os::UpperLocale(earlier);
        for (const std::wstring& item : view_.Items(Ctl::lbxInstallFolder))
            known = known || os::UpperLocale(item) == upper;
        if (!known) view_.AddItem(Ctl::lbxInstallFolder, earlier);
    }
    view_.SetItemIndex(Ctl::lbxInstallFolder, 0);
    view_.SetText(Ctl::edInstallFolder, view_.Items(Ctl::lbxInstallFolder).front());
}

void TMainF::FormShow() {
    view_.SetTabsVisible(TestMode);
    view_.ShowPage(Ctl::tbInstallFolder);
    view_.SetItemIndex(Ctl::rgLanguage, 0);
    view_.SetVisible(Ctl::btMusic, false);
}

void TMainF::FormClose() {
    closing_ = true;
    // Nothing of a failed file is left behind: only files saved whole stay.
    DiscardPartials();
    Batchlist.reset();
    WriteLog(L"Closing form and application.");
}

void TMainF::NextButtons(ui::ControlId sender) {
    switch (DefOf(sender).tag) {
        case 1:
            if (LeaveInstallFolderPage()) view_.ShowPage(Ctl::tbSelectLangfiles);
            break;
        case 4: LeaveLanguagePage(); break;
        case 5: LeaveSirePage(); break;
        case 6:
            ProgIndex = view_.ItemIndex(Ctl::rgProgram);
            view_.ShowPage(Ctl::tbDownload);
            DoDownloads();
            break;
        default: break;
    }
}

// ---- The install-folder page ----

namespace {

// Whether a new file can be made in the existing folder (ending in a
// backslash); nothing is left behind.
bool CanWriteInFolder(const std::wstring& folder) {
    // An existing folder may still refuse new files (a read-only share or
    // medium, a folder locked by its owner or administrator): every file of
    // the batch would then fail. A probe file, made under a name nobody
    // uses and removed at once, finds out before anything is fetched.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring probe = folder + L"~bvstartup-probe" + std::to_wstring(attempt) + L".tmp";
        if (fs::Stat(probe).exists) continue;
        fs::File file;
        Result<void> made = file.Open(probe, fs::FileMode::CreateNew);
        if (!made) {
            if (fs::Stat(probe).exists) continue;  // someone else's, made meanwhile
            WriteLog(L"InitInstallFolder cannot write in " + folder + L": " + ProblemText(made.error()));
            return false;
        }
        (void)file.Close();
        Result<void> removed = fs::RemoveFile(probe);
        if (!removed) WriteLog(L"InitInstallFolder could not remove " + probe + L": " + ProblemText(removed.error()));
        return true;
    }
    WriteLog(L"InitInstallFolder found no free name for a probe file in " + folder);
    return false;
}

}  // namespace

bool TMainF::InitInstallFolder() {
    WriteLog(L"InitInstallFolder start");
    InstallFolder = Trim(DropTrailingBackslash(view_.GetText(Ctl::edInstallFolder)));
    if (InstallFolder.empty()) {
        view_.questions().ShowMessage(L"Must define installation folder");
        return false;
    }
    // A bare drive ("C:" or "C:\") means its root: file names formed as
    // "C:name" would land in the drive's current folder instead.
    bool bareDrive = InstallFolder.size() == 2 && InstallFolder[1] == L':';
    if (bareDrive) {
        InstallFolder += L'\\';
    } else {
        // A relative folder ("Farm", "..\x") would otherwise land wherever
        // the program happened to be started from, and every path, log line
        // and the shortcut would carry the relative text: it is made
        // absolute once, here, and the edit box shows what is used.
        std::wstring full = fs::FullPath(InstallFolder);
        if (full != InstallFolder) {
            InstallFolder = full;
            view_.SetText(Ctl::edInstallFolder, InstallFolder);
        }
        bareDrive = InstallFolder.size() == 3 && InstallFolder[1] == L':' && InstallFolder[2] == L'\\';
    }
    if ((bareDrive ? fs::DirectoryExists(InstallFolder) : fs::ForceDirectories(InstallFolder).ok()) &&
        CanWriteInFolder(AddBackslash(InstallFolder))) {
        InstallFolder = AddBackslash(InstallFolder);
        WriteLog(L"InitInstallFolder = " + InstallFolder);
        return true;
    }
    if (bareDrive) InstallFolder.pop_back();
    view_.questions().ShowMessage(L"Unable to create installation folder");
    WriteLog(L"InitInstallFolder was not created.");
    return false;
}

bool TMainF::LeaveInstallFolderPage() {
    if (!InitInstallFolder()) return false;
    std::wstring host = Services.VendorAuthority ? Services.VendorAuthority() : std::wstring();
    if (Services.CheckForInternet && !Services.CheckForInternet(host, 2000)) {
        ShowStatus(L"Unable to connect to internet");
        return false;
    }
    FetchMusicFile();
    return true;
}

// ---- Music ----

void TMainF::FetchMusicFile() {
    std::wstring path = InstallFolder + kMusicFileName;
    if (!fs::FileExists(path)) DownloadFileDirect(kMusicFileName, path);
}

void TMainF::PlayMusic(bool play) {
    std::wstring path = InstallFolder + kMusicFileName;
    if (!fs::FileExists(path)) return;
    try {
        if (play) {
            if (Services.PlayFile) Services.PlayFile(path);
            MusicOpened = true;
        } else if (MusicOpened && Services.StopPlaying) {
            Services.StopPlaying();
        }
    } catch (const std::exception&) {
        // The tune is a nicety: a missing device or a damaged file is ignored.
    }
}

void TMainF::btMusicClick() {
    PlayMusic(MusicTag == 0);
    MusicTag = 1;
}

// ---- Selections and the batch ----

void TMainF::LeaveLanguagePage() {
    LangExt.clear();
    int index = view_.ItemIndex(Ctl::rgLanguage);
    if (index > 0) LangExt = LowerAscii(view_.Items(Ctl::rgLanguage)[static_cast<size_t>(index)].substr(0, 3));
    if (LangExt == L"ita" && view_.Items(Ctl::rgSireFiles)[3].substr(0, 3) == L"ITA")
        view_.SetItemIndex(Ctl::rgSireFiles, 3);
    view_.ShowPage(Ctl::tbSireFiles);
}

void TMainF::LeaveSirePage() {
    SireExt.clear();
    FSireFlag = 255;
    int index = view_.ItemIndex(Ctl::rgSireFiles);
    if (index >= 0) {
        SireExt = LowerAscii(view_.Items(Ctl::rgSireFiles)[static_cast<size_t>(index)].substr(0, 3));
        FSireFlag = static_cast<uint8_t>(index);
    }
    if (SireExt == L"---") SireExt.clear();
    view_.ShowPage(Ctl::tbProgram);
    PreselectProgram();
}

void TMainF::PreselectProgram() {
    view_.SetItemIndex(Ctl::rgProgram, 0);
    if (view_.ItemIndex(Ctl::rgProgram) == 0 && ContainsSubText(L"ZOVOZIVU", InstallFolder, false))
        view_.SetItemIndex(Ctl::rgProgram, 1);
}

void TMainF::rgProgramClick() {
    if (view_.ItemIndex(Ctl::rgProgram) == 1)
        ShowStatus(L"Be sure the server is up to date if only installing ZOVozivu.");
    else
        ShowStatus(L"");
}

void TMainF::AddToBatch(const BatchEntry& entry) {
    WriteLog(L"DoDownloads, Batchlist.add = " + entry.remote + L";" + entry.local);
    Batchlist->push_back(entry);
}

void TMainF::DoDownloads() {
    WriteLog(L"DoDownloads started.");
    view_.SetVisible(Ctl::pb, true);
    if (!Batchlist) Batchlist = std::make_unique<std::vector<BatchEntry>>();
    Batchlist->clear();
    if (const Program* program = ProgramAt(ProgIndex))
        for (const BatchEntry& file : program->files) AddToBatch(file);
    if (!LangExt.empty()) AddToBatch({L"bvlang." + LangExt, L"bvlang." + LangExt});
    if (!SireExt.empty()) AddToBatch({L"bvsires." + SireExt, L"bvsires." + SireExt});
    AddToBatch({L"basefiles.zip", L"BaseFiles.zip"});
    // The download blocks the thread: the page is painted before it, or the
    // operator would see the page left behind until the file is in.
    view_.Repaint(Ctl::MainF);
    WriteLog(L"DoDownloads doing DownloadNextFile.");
    DownloadNextFile();
    WriteLog(L"DoDownloads finished DownloadNextFile.");
}

std::wstring TMainF::ArchiveVariant() const {
    std::wstring name = L"basefiles.zip";
    if (FSireFlag == 1) name = L"basefiles_cdn.zip";
    if (FSireFlag == 3) name = L"basefiles_ita.zip";
    if (LowerAscii(LangExt) == L"spa") name = L"basefiles_spa.zip";
    return name;
}

// ---- Download sequencing ----

void TMainF::DownloadNextFile() {
    // A window asked to close starts no further file, nor the finish.
    if (closing_) return;
    if (!Batchlist || Batchlist->empty()) {
        FinishInstallation();
        return;
    }
    BatchEntry entry = Batchlist->front();
    CurrentRemoteName = entry.remote;
    std::wstring localPath = InstallFolder + entry.local;
    if (ContainsSubText(L"basefiles.zip", CurrentRemoteName, false)) CurrentRemoteName = ArchiveVariant();
    Batchlist->erase(Batchlist->begin());
    stalled_ = false;
    WriteLog(Format2(L"DownloadNextFile starting for %s and %s", CurrentRemoteName, localPath));
    size_t untrusted = UntrustedFiles.size();
    DownloadFileDirect(CurrentRemoteName, localPath);
    WriteLog(Format2(L"DownloadNextFile complete for %s and %s", CurrentRemoteName, localPath));
    // Only a variant that is not there falls back to the generic archive; a
    // variant that arrived and failed the vendor's check is a failure.
    if (ContainsSubText(L"basefiles.zip", localPath, false) && CurrentRemoteName != L"basefiles.zip" &&
        !fs::FileExists(localPath) && UntrustedFiles.size() == untrusted)
        DownloadFileDirect(L"basefiles.zip", localPath);
    if (Notify.Read().nfReady) return;
    // The batch stalls on this file: it goes back to the front, for Retry.
    if (Batchlist) Batchlist->insert(Batchlist->begin(), entry);
    Stall(localPath);
    if (OnInstallFinished) OnInstallFinished();
}

void TMainF::Stall(const std::wstring& localPath) {
    // A close asked while the file was fetched finds nothing to retry.
    if (closing_) {
        DiscardPartials();
        return;
    }
    stalled_ = true;
    view_.SetVisible(Ctl::btnRetry, true);
    view_.SafeFocus(Ctl::btnRetry);
}

void TMainF::DiscardPartials() {
    if (Services.DiscardPartial)
        for (const std::wstring& path : failedFiles_) Services.DiscardPartial(path);
    failedFiles_.clear();
}

std::wstring TMainF::StalledFile() const {
    if (!stalled_ || !Batchlist || Batchlist->empty()) return {};
    return InstallFolder + Batchlist->front().local;
}

void TMainF::btnRetryClick() {
    if (!stalled_ || closing_ || !Batchlist || Batchlist->empty()) return;
    std::wstring localPath = StalledFile();
    WriteLog(L"Retry of " + localPath);
    view_.SetVisible(Ctl::btnRetry, false);
    view_.SafeFocus(Ctl::memDownload);
    std::wstring host = Services.VendorAuthority ? Services.VendorAuthority() : std::wstring();
    if (Services.CheckForInternet && !Services.CheckForInternet(host, 2000)) {
        ShowStatus(L"Unable to connect to internet");
        Stall(localPath);
        if (OnInstallFinished) OnInstallFinished();
        return;
    }
    view_.SetText(Ctl::pnBottom, L"");
    DownloadNextFile();
}

void TMainF::DownloadFileDirect(const std::wstring& remoteName, const std::wstring& localPath) {
    std::wstring remote = LowerAscii(remoteName);
    if (BaseURL.empty() && Services.GetServerBaseURL) BaseURL = Services.GetServerBaseURL();
    std::wstring url = BaseURL + remote;
    if (!IsMusicPath(localPath)) {
        view_.AddLine(Ctl::memDownload, L"Downloading " + localPath + L" ...");
        // Shown before the download holds the thread.
        view_.Repaint(Ctl::MainF);
    }
    WriteLog(L"DownloadFileDirect url = " + url);
    Notify.Init(NotifyCode::Download);
    bool saved = false;
    try {
        saved = Services.DownloadToFile && Services.DownloadToFile(url, localPath);
    } catch (const AppError& e) {
        // The file could not be created: the error goes on to the event
        // that started the download; the log keeps why.
        WriteLog(L"DownloadFileDirect Not saved: " + localPath + L" - " + e.message());
        throw;
    }
    // What a failed file may have left is removed when the window closes.
    failedFiles_.erase(std::remove(failedFiles_.begin(), failedFiles_.end(), localPath), failedFiles_.end());
    if (!saved) failedFiles_.push_back(localPath);
    if (saved) {
        Notify.AddLine(L"Saved to " + localPath);
        WriteLog(L"DownloadFileDirect  Saved to " + localPath);
        Notify.SetReady(true);
    } else {
        Notify.AddLine(L"Not saved: " + localPath);
        Error failure = Services.DownloadFailure ? Services.DownloadFailure() : Error{};
        const std::wstring& cause = failure.detail;
        WriteLog(L"DownloadFileDirect Not saved: " + localPath + (cause.empty() ? L"" : L" - " + cause));
        if (failure.code == kNotTrusted) {
            UntrustedFiles.push_back(localPath + L": " + cause);
            ShowStatus(L"Not saved: " + localPath + L" - " + cause);
        }
        Notify.SetReady(false);
    }
}

// ---- Finishing ----

std::wstring ProblemText(const Error& problem) {
    return problem.native ? problem.detail + L": " + os::SystemErrorText(problem.native) : problem.detail;
}

void TMainF::FinishInstallation() {
    // No step stops the others; what went wrong is gathered, logged with
    // its cause, listed on the download page and told to the caller.
    FinishProblems.clear();
    for (const Error& problem : renameExe()) FinishProblems.push_back(ProblemText(problem));
    if (Services.UnzipExtraBaseFiles) {
        try {
            for (const Error& problem : Services.UnzipExtraBaseFiles(InstallFolder, CurrentRemoteName, view_.questions()))
                FinishProblems.push_back(ProblemText(problem));
        } catch (const std::exception&) {
            // Nothing should escape the extraction; if something does, it
            // is a problem of the finish, which goes on.
            FinishProblems.push_back(L"the start-up files could not be extracted");
        }
    }
    view_.AddLine(Ctl::memDownload, L"Done");
    view_.SetText(Ctl::Panel6, L"Install complete");
    ShowStatus(L"Install complete");
    PlayMusic(false);
    if (const Program* program = ProgramAt(ProgIndex)) {
        Result<void> link = CreateDesktopShortcut(InstallFolder + program->shortcutTarget, program->shortcutName);
        if (!link) FinishProblems.push_back(ProblemText(link.error()));
    }
    for (const std::wstring& problem : FinishProblems) view_.AddLine(Ctl::memDownload, L"Problem: " + problem);
    view_.SetVisible(Ctl::pb, false);
    view_.SetEnabled(Ctl::btnFinish, true);
    view_.SafeFocus(Ctl::btnFinish);
    if (OnInstallFinished) OnInstallFinished();
}

std::vector<Error> TMainF::renameExe() {
    std::vector<Error> problems;
    for (const std::wstring& name : fs::FindFiles(InstallFolder, L"*.___")) {
        std::wstring oldPath = InstallFolder + name;
        std::wstring newPath = oldPath.substr(0, oldPath.size() - 4) + L".exe";
        WriteLog(Format2(L"renameExe   %s to %s", oldPath, newPath));
        // An old program that is running, held open or read-only cannot be
        // deleted; the move then finds it in the way. The delete's reason
        // is the one worth telling.
        uint32_t removeError = 0;
        if (fs::FileExists(newPath)) {
            Result<void> removed = fs::RemoveFile(newPath);
            if (!removed) removeError = removed.error().native;
        }
        Result<void> moved = fs::RenameFile(oldPath, newPath);
        if (moved) continue;
        Error problem{1, removeError ? removeError : moved.error().native,
                      oldPath + L" was not renamed to " + newPath};
        WriteLog(L"renameExe failed: " + ProblemText(problem));
        problems.push_back(std::move(problem));
    }
    return problems;
}

Result<void> TMainF::CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& shortcutName) {
    std::wstring desktop = Services.DesktopFolder ? Services.DesktopFolder() : std::wstring();
    std::wstring linkFile = desktop + L"\\" + shortcutName + L".lnk";
    if (fs::FileExists(linkFile)) (void)fs::RemoveFile(linkFile);
    WriteLog(L"Creating shortcut " + linkFile);
    Result<void> saved;
    if (Services.SaveShellLink) saved = Services.SaveShellLink(targetPath, linkFile);
    if (!saved) {
        Error problem = saved.error();
        problem.detail = L"the shortcut " + linkFile + L" could not be written" +
                         (problem.detail.empty() ? L"" : L" (" + problem.detail + L")");
        WriteLog(L"Shortcut not created: " + ProblemText(problem));
        return problem;
    }
    WriteLog(L"Created shortcut.");
    return saved;
}

// ---- The maintenance page ----

void TMainF::Button1Click() {
    std::wstring localPath = L"c:\\try\\zoded.___";
    std::wstring host = Services.VendorAuthority ? Services.VendorAuthority() : std::wstring();
    std::wstring url = L"http://" + host + L"/bvfiles/bvstartup/zoded.___";
    WriteLog(L"Download to File: " + localPath + L", " + url);
    if (Services.DownloadToFile && Services.DownloadToFile(url, localPath))
        ShowStatus(L"Sucessfully downloaded " + localPath);
    else
        ShowStatus(L"FAIL download " + localPath);
}

void TMainF::Button2Click() {
    std::wstring remoteName = view_.GetText(Ctl::Edit1);
    std::wstring localPath = InstallFolder + remoteName;
    ShowStatus(L"Downloading " + remoteName + L" ...");
    DownloadFile(remoteName, localPath);
}

void TMainF::DownloadFile(const std::wstring& remoteName, const std::wstring& localPath) {
    std::wstring remote = LowerAscii(remoteName);
    // The vendor host, with its port when it is not 80.
    std::wstring host = Services.VendorAuthority ? Services.VendorAuthority() : std::wstring();
    std::wstring path = L"/bvfiles/bvstartup/" + remote;
    WriteLog(Format2(L"DownloadFile  url: %s, hostfilename: %s", host, path));
    if (!IsMusicPath(localPath)) view_.AddLine(Ctl::memDownload, L"Downloading " + localPath + L" ...");
    Notify.Init(NotifyCode::Download);
    WriteLog(Format2(L"DownloadFile  url: %s, hostfilename: %s", host, path) + L", destname: " + localPath);
    if (dmClient) dmClient->FileFromURL(host, path, localPath);
}

void TMainF::Button3Click() { (void)renameExe(); }


void TMainF::pnTopDblClick() { view_.questions().ShowMessage(L"Version 2 April 2024"); }

void TMainF::btnFinishClick() { view_.Close(); }

void TMainF::tbInstallFolderShow() { view_.SafeFocus(Ctl::lbxInstallFolder); }

ui::ControlId TMainF::FocusOnShow(ui::ControlId page) const {
    if (page == Ctl::tbInstallFolder) return Ctl::lbxInstallFolder;
    if (page == Ctl::TabSheet2) return Ctl::Edit1;
    if (page == Ctl::tbSelectLangfiles) return Ctl::rgLanguage;
    if (page == Ctl::tbSireFiles) return Ctl::rgSireFiles;
    if (page == Ctl::tbProgram) return Ctl::rgProgram;
    if (page == Ctl::tbDownload)
        return view_.IsEnabled(Ctl::btnFinish) ? Ctl::btnFinish : stalled_ ? Ctl::btnRetry : Ctl::memDownload;
    return ui::kNoControl;
}

void TMainF::lbxInstallFolderClick() {
    int index = view_.ItemIndex(Ctl::lbxInstallFolder);
    std::vector<std::wstring> items = view_.Items(Ctl::lbxInstallFolder);
    if (index >= 0 && static_cast<size_t>(index) < items.size())
        view_.SetText(Ctl::edInstallFolder, items[static_cast<size_t>(index)]);
}

void TMainF::ShowStatus(const std::wstring& text) {
    view_.SetText(Ctl::pnBottom, text);
    WriteLog(L"   (logg) " + text);
}

void TMainF::ShowProgress(const void*, int, int64_t workCount) {
    int position = view_.ProgressPosition(Ctl::pb);
    if (++progressCalls_ % 100 == 0) {
        if (++progressStep_ > 100) progressStep_ = 1;
        position = progressStep_;
    }
    view_.SetProgress(Ctl::pb, 100, position, kLime);
    if (progressCalls_ % 100 != 0) return;
    view_.Repaint(Ctl::pb);
    view_.SetText(Ctl::pnBottom, std::to_wstring(workCount / 1024) + L" KB");
    view_.Repaint(Ctl::pnBottom);
}

void TMainF::NotifyTimerTimer() {
    TNotify::Fields f = Notify.TakeForTimer();
    if (!f.nfStatus.empty()) ShowStatus(f.nfStatus);
    if (!f.nfReady) return;
    bool goOn = false;
    switch (f.nfCode) {
        case NotifyCode::Hello: {
            std::wstring all;
            for (const std::wstring& line : f.nfReturnList) all += line + L"\r\n";
            view_.questions().ShowMessage(L"Successful : " + all);
            WriteLog(L"Ping returned " + all);
            break;
        }
        case NotifyCode::FileList:
            ShowStatus(L"Files Ready : " + std::to_wstring(f.nfReturnList.size()));
            for (const std::wstring& line : f.nfReturnList) ShowStatus(line);
            break;
        case NotifyCode::FileSent:
            ShowStatus(L"File Sent ");
            for (const std::wstring& line : f.nfReturnList) ShowStatus(line);
            break;
        case NotifyCode::Download:
            for (const std::wstring& line : f.nfReturnList) {
                if (IsMusicPath(line)) continue;
                ShowStatus(line);
                goOn = true;
            }
            break;
        default: break;
    }
    // The mailbox was reset to NotifyCode::Idle when it was taken.
    if (goOn) DownloadNextFile();
}

void TMainF::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const AppError& e) {
        view_.questions().ShowError(e.message());
    } catch (const std::exception& e) {
        std::string what = e.what();
        view_.questions().ShowError(std::wstring(what.begin(), what.end()));
    }
}

void TMainF::OnClick(ui::ControlId ctl) {
    Guarded([&] {
        switch (ctl) {
            case Ctl::btnNext1: case Ctl::btnNext3: case Ctl::btnNext4: case Ctl::btnNext5:
                NextButtons(ctl);
                break;
            case Ctl::btnFinish: btnFinishClick(); break;
            case Ctl::btnRetry: btnRetryClick(); break;
            case Ctl::btMusic: btMusicClick(); break;
            case Ctl::Button1: Button1Click(); break;
            case Ctl::Button2: Button2Click(); break;
            case Ctl::Button3: Button3Click(); break;
            default: break;
        }
    });
}

void TMainF::OnDblClick(ui::ControlId ctl) {
    Guarded([&] {
        if (ctl == Ctl::pnTop) pnTopDblClick();
    });
}

void TMainF::OnChange(ui::ControlId ctl) {
    Guarded([&] {
        if (ctl == Ctl::lbxInstallFolder) lbxInstallFolderClick();
        if (ctl == Ctl::rgProgram) rgProgramClick();
    });
}

void TMainF::OnPageShow(ui::ControlId page) {
    Guarded([&] {
        // The page on show takes the focus: a key pressed next goes to it,
        // not to the button of the page that was left.
        if (page == Ctl::tbInstallFolder)
            tbInstallFolderShow();
        else if (ui::ControlId ctl = FocusOnShow(page); ctl != ui::kNoControl)
            view_.SafeFocus(ctl);
    });
}

void TMainF::OnTimer() {
    Guarded([&] { NotifyTimerTimer(); });
}

void TMainF::OnClose() {
    Guarded([&] { FormClose(); });
}

}  // namespace bv
