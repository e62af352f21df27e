// The unattended mode.
#include "app/unattended.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/layout.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/log.h"
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

// A number of times: decimal digits, at most what an int holds.
std::optional<int> Count(const std::wstring& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    if (value > 0x7FFFFFFF) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::vector<std::wstring> ParseUnattended(const std::vector<std::wstring>& params, UnattendedOptions& options) {
    std::vector<std::wstring> problems;
    for (const std::wstring& p : params) {
        if (p.compare(0, 2, L"--") != 0) continue;
        size_t equals = p.find(L'=');
        std::wstring name = p.substr(2, equals == std::wstring::npos ? std::wstring::npos : equals - 2);
        std::wstring value = equals == std::wstring::npos ? std::wstring() : p.substr(equals + 1);
        bool hasValue = equals != std::wstring::npos;
        if (name == L"auto") {
            if (hasValue) problems.push_back(L"the option --auto takes no value: " + p);
            else options.enabled = true;
            continue;
        }
        if (name == L"vendor-host") continue;  // read by the web module
        bool known = name == L"folder" || name == L"language" || name == L"sire" || name == L"program" ||
                     name == L"retries";
        if (!known) {
            problems.push_back(L"unknown option " + p);
            continue;
        }
        if (!hasValue || value.empty()) {
            problems.push_back(L"the option --" + name + L"= needs a value: " + p);
            continue;
        }
        if (name == L"folder") {
            options.folder = value;
        } else if (name == L"language") {
            std::optional<int> index = FindCode(Ctl::rgLanguage, value);
            if (index) options.language = index;
            else problems.push_back(L"unknown language '" + value + L"' (one of: " + Codes(Ctl::rgLanguage) + L")");
        } else if (name == L"sire") {
            std::optional<int> index = FindCode(Ctl::rgSireFiles, LowerAscii(value) == L"none" ? L"---" : value);
            if (index) options.sire = index;
            else problems.push_back(L"unknown sire file '" + value + L"' (one of: usa cdn ger ita gbr alt none)");
        } else if (name == L"program") {
            size_t count = DefOf(Ctl::rgProgram).items.size();
            std::optional<int> index = Count(value);
            if (index && static_cast<size_t>(*index) < count) options.program = index;
            else problems.push_back(L"unknown program '" + value + L"' (0 to " + std::to_wstring(count - 1) + L")");
        } else if (name == L"retries") {
            std::optional<int> count = Count(value);
            if (count) options.retries = *count;
            else problems.push_back(L"the option --retries= takes a number of times, 0 or more: " + p);
        }
    }
    return problems;
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
    // Each page keeps what it preselected unless the option says otherwise;
    // the page's own leaving step then preselects the next page's choice.
    auto chosen = [&view](ui::ControlId group) {
        int index = view.ItemIndex(group);
        std::vector<std::wstring> items = view.Items(group);
        return index >= 0 && static_cast<size_t>(index) < items.size() ? items[static_cast<size_t>(index)]
                                                                       : std::wstring(L"(none)");
    };
    if (options_.language) view.SetItemIndex(Ctl::rgLanguage, *options_.language);
    Print(out_, L"language file: " + chosen(Ctl::rgLanguage));
    form_.OnClick(Ctl::btnNext3);
    if (options_.sire) view.SetItemIndex(Ctl::rgSireFiles, *options_.sire);
    Print(out_, L"sire file: " + chosen(Ctl::rgSireFiles));
    form_.OnClick(Ctl::btnNext4);
    if (options_.program) view.SetItemIndex(Ctl::rgProgram, *options_.program);
    Print(out_, L"installing " + chosen(Ctl::rgProgram));
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
        std::wstring file = form_.StalledFile();
        if (form_.Stalled() && file != retriedFile_) {
            retriedFile_ = file;
            retried_ = 0;
        }
        if (form_.Stalled() && retried_ < options_.retries) {
            // Waits 1, 2, 4 ... seconds, at most 30, then retries as the
            // Retry button does; the outcome comes back here.
            int wait = retried_ >= 5 ? 30 : std::min(30, 1 << retried_);
            ++retried_;
            Print(out_, L"the download stalled" + (status.empty() ? L"" : L": " + status));
            std::wstring line = L"retry " + std::to_wstring(retried_) + L" of " + std::to_wstring(options_.retries) +
                                L" in " + std::to_wstring(wait) + L" s: " + file;
            Print(out_, line);
            WriteLog(L"Unattended " + line);
            done_ = false;
            std::this_thread::sleep_for(std::chrono::seconds(wait));
            form_.btnRetryClick();
            return;
        }
        Print(err_, L"the download stalled" + (status.empty() ? L"" : L": " + status));
        exitCode_ = kExitStalled;
        view.PostClose();
    }
}

}  // namespace bv
