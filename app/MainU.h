// The wizard window TMainF: the user's choices, the page routing, the status
// line, the progress display and the timer that reads the mailbox. It acts on
// the window only through the narrow view, so tests can drive it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/programs.h"
#include "app/services.h"
#include "platform/ui.h"
#include "util/error.h"

namespace bv {

// Command-line switches, read by SetParams. The skip switch ("-P") belongs
// to the internet check: SetParams sets it through a service.
extern bool TestMode;    // "-D": every page's tab is shown
extern bool SkipSwitch;  // "-P": the internet check answers true without connecting

// The music file: its remote name on the server and its local name.
extern const wchar_t kMusicFileName[];
// Whether a path or a notice names the music file. Only the file name
// counts: a folder such as C:\farm.midwest must not hide every file.
bool IsMusicPath(const std::wstring& text);

class TMainF : public ui::Events {
public:
    explicit TMainF(ui::View& view);
    ~TMainF() override;

    // The user's choices.
    std::wstring InstallFolder;
    std::wstring LangExt;
    std::wstring SireExt;
    int32_t ProgIndex = 0;
    uint8_t FSireFlag = 255;
    std::unique_ptr<std::vector<BatchEntry>> Batchlist;

    // Handlers, named as the window's events.
    void FormCreate();
    void FormShow();
    void FormClose();
    void NextButtons(ui::ControlId sender);
    void pnTopDblClick();
    void btnFinishClick();
    // Retry on the download page: checks the connection again and fetches
    // the file the batch stalled on (continuing what it kept of it); the
    // batch then goes on as usual. Nothing happens unless it is stalled.
    void btnRetryClick();
    // Whether the batch is stalled on a file that failed.
    bool Stalled() const { return stalled_; }
    // The local path of the file the batch stalled on (empty when none).
    std::wstring StalledFile() const;
    void tbInstallFolderShow();
    // The control a page gives the focus to when it is shown: the folder
    // list, a radio group's checked item, Finish once it is enabled (the
    // memo until then).
    ui::ControlId FocusOnShow(ui::ControlId page) const;
    void lbxInstallFolderClick();
    void NotifyTimerTimer();
    void rgProgramClick();
    void btMusicClick();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    // Fetches one file through the transfer client; the outcome comes later
    // through the mailbox.
    void DownloadFile(const std::wstring& remoteName, const std::wstring& localPath);

    // The install-folder page.
    bool InitInstallFolder();
    bool LeaveInstallFolderPage();
    void FetchMusicFile();
    void PlayMusic(bool play);

    // Selections and the download batch.
    void LeaveLanguagePage();
    void LeaveSirePage();
    void PreselectProgram();
    void DoDownloads();
    void AddToBatch(const BatchEntry& entry);
    std::wstring ArchiveVariant() const;

    // Download sequencing and the finish.
    void DownloadNextFile();
    void DownloadFileDirect(const std::wstring& remoteName, const std::wstring& localPath);
    void FinishInstallation();
    // What could not be renamed, each with the system's reason.
    std::vector<Error> renameExe();
    Result<void> CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& shortcutName);

    void SetParams(const std::vector<std::wstring>& params);
    void ShowStatus(const std::wstring& text);
    void ShowProgress(const void* sender, int workMode, int64_t workCount);

    ui::View& view() { return view_; }

    // The rest of the program, as the window uses it.
    WizardServices Services;
    // Where the command-line parameters come from (tests give their own).
    std::function<std::vector<std::wstring>()> ParamsHook;
    // Told when the batch has finished or stalled (the unattended mode
    // follows the installation through it).
    std::function<void()> OnInstallFinished;

    // What went wrong in the finishing steps of the last batch, one text per
    // problem with its cause: an executable not renamed, a start-up file
    // not extracted, a shortcut not written. Empty after a clean finish.
    std::vector<std::wstring> FinishProblems;

    // The files of this run that arrived but that the vendor's signed list
    // does not vouch for (deleted, never renamed, extracted or linked), each
    // as its path and the cause.
    std::vector<std::wstring> UntrustedFiles;

    // The run's download state.
    std::wstring CurrentRemoteName;
    std::wstring BaseURL;
    int MusicTag = 0;         // btMusic's tag: 0 until it was pressed
    bool MusicOpened = false;  // the player has a file name

    // ui::Events: every handler runs inside one guard that turns an uncaught
    // error into the standard error box, and the program goes on.
    void OnClick(ui::ControlId ctl) override;
    void OnDblClick(ui::ControlId ctl) override;
    void OnChange(ui::ControlId ctl) override;
    void OnPageShow(ui::ControlId page) override;
    void OnTimer() override;
    void OnClose() override;

private:
    void Guarded(const std::function<void()>& handler);
    void FillFolderCandidates();

    ui::View& view_;
    bool closing_ = false;        // the window was asked to close
    bool stalled_ = false;        // the batch waits on its front file, which failed
    // Files of this run that failed and may have left a partial file.
    std::vector<std::wstring> failedFiles_;
    void Stall(const std::wstring& localPath);
    void DiscardPartials();
    uint64_t progressCalls_ = 0;  // blocks seen in the whole run
    int progressStep_ = 0;        // the bar's creeping position, 1..100
};

// A finishing problem as one line: its text and the system's reason.
std::wstring ProblemText(const Error& problem);

// The program's one window; null outside its lifetime.
extern TMainF* MainF;

}  // namespace bv
