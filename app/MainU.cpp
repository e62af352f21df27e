// The wizard window's handlers.
#include "app/MainU.h"

#include "app/layout.h"
#include "platform/os.h"
#include "transfer/log.h"
#include "transfer/notify.h"
#include "util/error.h"
#include "util/strings.h"

namespace bv {

using ui::Ctl;

bool TestMode = false;
bool SkipSwitch = false;
TMainF* MainF = nullptr;

namespace {
constexpr uint32_t kLime = 0x00FF00;  // RGB 0, 255, 0
}

TMainF::TMainF(ui::View& view) : view_(view) {}

TMainF::~TMainF() = default;

void TMainF::FormCreate() {
    view_.SetText(Ctl::lblVersion, L"April 2024 Version");
    LangExt.clear();
    SireExt.clear();
    FSireFlag = 255;
    Batchlist = std::make_unique<std::vector<std::wstring>>();
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
    std::wstring earlier = ReadSettingHook ? ReadSettingHook(L"BVDir") : std::wstring();
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
    Batchlist.reset();
    WriteLog(L"Closing form and application.");
}

void TMainF::NextButtons(Ctl sender) {
    switch (SpecOf(sender).tag) {
        case 1: view_.ShowPage(Ctl::tbSelectLangfiles); break;
        case 4: view_.ShowPage(Ctl::tbSireFiles); break;
        case 5: view_.ShowPage(Ctl::tbProgram); break;
        case 6:
            ProgIndex = view_.ItemIndex(Ctl::rgProgram);
            view_.ShowPage(Ctl::tbDownload);
            break;
        default: break;
    }
}

void TMainF::pnTopDblClick() { view_.questions().ShowMessage(L"Version 2 April 2024"); }

void TMainF::btnFinishClick() { view_.Close(); }

void TMainF::tbInstallFolderShow() { view_.SafeFocus(Ctl::lbxInstallFolder); }

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
        case 1: {
            std::wstring all;
            for (const std::wstring& line : f.nfReturnList) all += line + L"\r\n";
            view_.questions().ShowMessage(L"Successful : " + all);
            WriteLog(L"Ping returned " + all);
            break;
        }
        case 2:
            ShowStatus(L"Files Ready : " + std::to_wstring(f.nfReturnList.size()));
            for (const std::wstring& line : f.nfReturnList) ShowStatus(line);
            break;
        case 3:
            ShowStatus(L"File Sent ");
            for (const std::wstring& line : f.nfReturnList) ShowStatus(line);
            break;
        case 4:
            for (const std::wstring& line : f.nfReturnList) {
                if (line.find(L".mid") != std::wstring::npos) continue;
                ShowStatus(line);
                goOn = true;
            }
            break;
        default: break;
    }
    // The mailbox was reset with code 0 when it was taken.
    if (goOn && DownloadNextFileHook) DownloadNextFileHook();
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

void TMainF::OnClick(Ctl ctl) {
    Guarded([&] {
        switch (ctl) {
            case Ctl::btnNext1: case Ctl::btnNext3: case Ctl::btnNext4: case Ctl::btnNext5:
                NextButtons(ctl);
                break;
            case Ctl::btnFinish: btnFinishClick(); break;
            default: break;
        }
    });
}

void TMainF::OnDblClick(Ctl ctl) {
    Guarded([&] {
        if (ctl == Ctl::pnTop) pnTopDblClick();
    });
}

void TMainF::OnChange(Ctl ctl) {
    Guarded([&] {
        if (ctl == Ctl::lbxInstallFolder) lbxInstallFolderClick();
    });
}

void TMainF::OnPageShow(Ctl page) {
    Guarded([&] {
        if (page == Ctl::tbInstallFolder) tbInstallFolderShow();
    });
}

void TMainF::OnTimer() {
    Guarded([&] { NotifyTimerTimer(); });
}

void TMainF::OnClose() {
    Guarded([&] { FormClose(); });
}

}  // namespace bv
