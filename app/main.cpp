// Program start: the wizard window, then the transfer client module, then
// the message loop until the window closes; the module is destroyed last.
#include "app/MainU.h"
#include "app/layout.h"
#include "app/system_services.h"
#include "platform/os.h"
#include "platform/win32/wizard_window.h"
#include "transfer/dmClient.h"
#include "web/vendor.h"

int main() {
    bv::os::RecordMainThread();
    bv::ParseVendorHostOption(bv::os::CommandLineParameters());
    bv::win32::MessageBoxQuestions questions;
    bv::win32::WizardWindow window(bv::WizardLayout(), questions);
    bv::TMainF form(window);
    bv::MainF = &form;
    bv::UseSystemServices(form);
    if (!window.Create(form)) return 1;
    questions.owner = window.Handle(bv::ui::Ctl::MainF);
    form.FormCreate();
    {
        bv::TdmClient module;
        bv::dmClient = &module;
        form.FormShow();
        window.Show();
        window.RunMessageLoop();
        bv::MainF = nullptr;
        bv::dmClient = nullptr;
    }
    return 0;
}
