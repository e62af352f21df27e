// Wires the wizard to the rest of the Windows program.
#include "app/system_services.h"

#include "archive/unzip.h"
#include "platform/shell.h"
#include "util/settings.h"
#include "util/strings.h"
#include "web/http_get.h"
#include "web/internet.h"
#include "web/vendor.h"
#include "web/vendor_files.h"

#include <memory>

namespace bv {

static_assert(int(kNotFetched) == int(kDownloadFailed) && int(kNotTrusted) == int(kDownloadUntrusted));

void UseSystemServices(TMainF& form) { UseSystemServices(form, BuiltInVendorKey()); }

void UseSystemServices(TMainF& form, std::optional<crypto::EcP256Point> vendorKey) {
    WizardServices& s = form.Services;
    s.ReadSetting = [](const std::wstring& name) { return ReadSetting(name); };
    s.VendorAuthority = [] { return VendorAuthority(); };
    s.CheckForInternet = [](const std::wstring& host, uint32_t timeoutMs) {
        SkipInternetCheck = SkipSwitch;
        return CheckForInternet(host, timeoutMs);
    };
    s.GetServerBaseURL = [] { return GetServerBaseURL(); };
    // Downloads report their progress and a failed retry to the window.
    WebHooks hooks;
    hooks.ShowProgress = [&form](const void* sender, WorkMode mode, int64_t count) {
        form.ShowProgress(sender, static_cast<int>(mode), count);
    };
    hooks.ShowStatus = [&form](const std::wstring& text) { form.ShowStatus(text); };
    // The vendor's signed list and the last failure live as long as the
    // services: one run.
    auto vendorFiles = std::make_shared<VendorFiles>(vendorKey);
    auto lastFailure = std::make_shared<Error>();
    s.DownloadToFile = [hooks, vendorFiles, lastFailure](const std::wstring& url, const std::wstring& path) {
        Result<void> saved = DownloadFile(url, path, hooks, vendorFiles->CheckFor(url));
        *lastFailure = saved ? Error{} : saved.error();
        return saved.ok();
    };
    s.DownloadFailure = [lastFailure] { return *lastFailure; };
    s.DiscardPartial = [](const std::wstring& path) { bv::DiscardPartial(path); };
    s.UnzipExtraBaseFiles = [](const std::wstring& folder, const std::wstring& remoteName, Questions& questions) {
        return UnzipExtraBaseFiles(folder, remoteName, questions);
    };
    s.DesktopFolder = [] { return shell::DesktopFolder(); };
    s.SaveShellLink = [](const std::wstring& target, const std::wstring& linkFile) {
        return shell::SaveShellLink(target, FolderOf(target), linkFile);
    };
    s.PlayFile = [](const std::wstring& path) { media::Play(path); };
    s.StopPlaying = [] { media::Stop(); };
}

}  // namespace bv
