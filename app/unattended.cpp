// The unattended mode.
#include "app/unattended.h"

#include "app/layout.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/strings.h"

namespace bv {


namespace {

// The index of the item whose first three letters are `code`.
std::optional<int> FindCode(ui::ControlId group, const std::wstring& code) {
    const std::vector<const wchar_t*>& items = DefOf(group).items;
    for (size_t i = 0; i < items.size(); ++i)
        if (LowerAscii(std::wstring(items[i]).substr(0, 3)) == LowerAscii(code)) return static_cast<int>(i);
    return std::nullopt;
}

std::wstring Codes(ui::ControlId group) {
    std::wstring all;
    for (const wchar_t* item : DefOf(group).items)
        all += (all.empty() ? L"" : L" ") + LowerAscii(std::wstring(item).substr(0, 3));
    return all;
}

bool Option(const std::wstring& param, const wchar_t* name, std::wstring& value) {
    std::wstring prefix = std::wstring(L"--") + name + L"=";
    if (param.compare(0, prefix.size(), prefix) != 0) return false;
    value = param.substr(prefix.size());
    return true;
}

}  // namespace

std::wstring ParseUnattended(const std::vector<std::wstring>& params, UnattendedOptions& options) {
    for (const std::wstring& p : params) {
        std::wstring value;
        if (p == L"--auto") {
            options.enabled = true;
        } else if (Option(p, L"folder", value)) {
            options.folder = value;
        } else if (Option(p, L"language", value)) {
            std::optional<int> index = FindCode(Ctl::rgLanguage, value);
            if (!index) return L"unknown language '" + value + L"' (one of: " + Codes(Ctl::rgLanguage) + L")";
            options.language = *index;
        } else if (Option(p, L"sire", value)) {
            std::optional<int> index = FindCode(Ctl::rgSireFiles, value == L"none" ? L"---" : value);
            if (!index) return L"unknown sire file '" + value + L"' (one of: usa cdn ger ita gbr alt none)";
            options.sire = *index;
        } else if (Option(p, L"program", value)) {
            size_t count = DefOf(Ctl::rgProgram).items.size();
            if (value.size() != 1 || value[0] < L'0' || static_cast<size_t>(value[0] - L'0') >= count)
                return L"unknown program '" + value + L"' (0 to " + std::to_wstring(count - 1) + L")";
            options.program = value[0] - L'0';
        }
    }
    return {};
}

Unattended::Unattended(TMainF& form, UnattendedOptions options, std::FILE* out, std::FILE* err)
    : form_(form), options_(std::move(options)), out_(out), err_(err) {
    form_.OnInstallFinished = [this] { Finished(); };
    // Every fetch is reported with its place in the batch and its size.
    auto download = form_.Services.DownloadToFile;
    form_.Services.DownloadToFile = [this, download](const std::wstring& url, const std::wstring& path) {
        std::wstring head = L"music file";
        if (!IsMusicPath(path)) {
            // The entry being fetched has already left the batch.
            ++fileNumber_;
            size_t total = fileNumber_ + (form_.Batchlist ? form_.Batchlist->size() : 0);
            head = L"file " + std::to_wstring(fileNumber_) + L" of " + std::to_wstring(total);
        }
        Print(out_, head + L": " + url + L" -> " + path);
        bool ok = download && download(url, path);
        if (ok)
            Print(out_, head + L": saved, " + std::to_wstring(fs::Stat(path).size) + L" bytes");
        else
            Print(out_, head + L": not saved");
        return ok;
    };
}

Answer Unattended::AskPassword(const std::wstring& memberName, std::wstring&) {
    Print(err_, L"skipped " + memberName + L": it needs a password");
    return Answer::Cancel;
}

Answer Unattended::AskFailure(const std::wstring& message, bool) {
    Print(err_, L"passed over: " + message);
    return Answer::Ignore;
}

void Unattended::Print(std::FILE* f, const std::wstring& text) {
    std::fprintf(f, "%s\n", os::ToUtf8(text).c_str());
    std::fflush(f);
}

void Unattended::ShowMessage(const std::wstring& text) { Print(err_, text); }

void Unattended::ShowError(const std::wstring& text) {
    Print(err_, L"error: " + text);
    // An error during the batch leaves it stalled.
    if (form_.view().ActivePage() == Ctl::tbDownload && !form_.view().IsEnabled(Ctl::btnFinish)) {
        exitCode_ = kExitStalled;
        done_ = true;
        form_.view().PostClose();
    }
}

void Unattended::Start() {
    ui::View& view = form_.view();
    if (options_.folder) view.SetText(Ctl::edInstallFolder, *options_.folder);
    Print(out_, L"installation folder: " + view.GetText(Ctl::edInstallFolder));
    form_.OnClick(Ctl::btnNext1);
    if (view.ActivePage() != Ctl::tbSelectLangfiles) {
        std::wstring status = view.GetText(Ctl::pnBottom);
        if (!status.empty()) Print(err_, status);
        Print(err_, L"the installation folder page refused to go on");
        exitCode_ = kExitPageRefused;
        done_ = true;
        view.PostClose();
        return;
    }
    view.SetItemIndex(Ctl::rgLanguage, options_.language);
    form_.OnClick(Ctl::btnNext3);
    view.SetItemIndex(Ctl::rgSireFiles, options_.sire);
    form_.OnClick(Ctl::btnNext4);
    view.SetItemIndex(Ctl::rgProgram, options_.program);
    Print(out_, L"installing " + view.Items(Ctl::rgProgram)[static_cast<size_t>(options_.program)]);
    form_.OnClick(Ctl::btnNext5);
}

void Unattended::Finished() {
    if (done_) return;
    ui::View& view = form_.view();
    done_ = true;
    if (!form_.UntrustedFiles.empty()) {
        // Whatever else happened, a file the vendor does not vouch for came
        // in place of the vendor's: deployment must hear of it.
        Print(err_, L"a download failed its integrity check:");
        for (const std::wstring& file : form_.UntrustedFiles) Print(err_, L"not trusted: " + file);
        exitCode_ = kExitUntrusted;
        if (view.IsEnabled(Ctl::btnFinish))
            view.PostClick(Ctl::btnFinish);
        else
            view.PostClose();
        return;
    }
    if (view.IsEnabled(Ctl::btnFinish)) {
        Print(out_, L"Install complete");
        exitCode_ = kExitInstalled;
        if (!form_.FinishProblems.empty()) {
            Print(err_, L"installed with problems:");
            for (const std::wstring& problem : form_.FinishProblems) Print(err_, L"problem: " + problem);
            exitCode_ = kExitInstalledWithProblems;
        }
        view.PostClick(Ctl::btnFinish);
    } else {
        std::wstring status = view.GetText(Ctl::pnBottom);
        Print(err_, L"the download stalled" + (status.empty() ? L"" : L": " + status));
        exitCode_ = kExitStalled;
        view.PostClose();
    }
}

}  // namespace bv
