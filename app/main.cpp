// Program start: the wizard window, then the transfer client module, then
// the message loop until the window closes; the module is destroyed last.
// With --auto the wizard installs unattended and ends with an exit status.
#include <cstdio>
#include <memory>

#include "app/MainU.h"
#include "app/layout.h"
#include "app/system_services.h"
#include "app/unattended.h"
#include "platform/os.h"
#include "platform/win32/wizard_window.h"
#include "transfer/dmClient.h"
#include "web/vendor.h"

int main() {
    bv::os::RecordMainThread();
    std::vector<std::wstring> params = bv::os::CommandLineParameters();
    // Every option is read before any is judged, and a refused run has
    // made and fetched nothing: it ends before the window exists.
    bv::Result<bool> vendor = bv::ParseVendorHostOption(params);
    bv::UnattendedOptions options;
    std::vector<std::wstring> problems = bv::ParseUnattended(params, options);
    if (!vendor) problems.insert(problems.begin(), vendor.error().detail);
    if (options.enabled && !problems.empty()) {
        for (const std::wstring& problem : problems) std::fprintf(stderr, "%s\n", bv::os::ToUtf8(problem).c_str());
        return bv::kExitBadOptions;
    }

    bv::win32::MessageBoxQuestions questions;
    // Without --auto only the vendor host matters before the window: a
    // mistyped mirror must not leave the user installing from another
    // server.
    if (!vendor) {
        questions.ShowError(vendor.error().detail);
        return bv::kExitBadOptions;
    }
    bv::win32::WizardWindow window(bv::WizardLayout(), questions);
    bv::TMainF form(window);
    bv::MainF = &form;
    bv::UseSystemServices(form);
    std::unique_ptr<bv::Unattended> unattended;
    if (options.enabled) {
        unattended = std::make_unique<bv::Unattended>(form, options, stdout, stderr);
        window.SetQuestions(*unattended);
    }
    if (!window.Create(form)) return 1;
    questions.owner = window.Handle(bv::Ctl::MainF);
    form.FormCreate();
    {
        bv::TdmClient module;
        bv::dmClient = &module;
        form.FormShow();
        window.Show();
        if (unattended) unattended->Start();
        window.RunMessageLoop();
        bv::MainF = nullptr;
        bv::dmClient = nullptr;
    }
    return unattended ? unattended->ExitCode() : 0;
}
