// The real wizard window in the test process: created, filled and shown as
// program start does, with the modal questions answered by the test.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/MainU.h"
#include "app/layout.h"
#include "platform/win32/wizard_window.h"
#include "transfer/dmClient.h"
#include "transfer/log.h"
#include "util/error.h"

namespace bv::test {

class RecordingQuestions : public ui::Questions {
public:
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
    void ShowError(const std::wstring& text) override { errors.push_back(text); }
    std::vector<std::wstring> messages, errors;
};

// Switches and the log are process-wide: every wizard starts from a clean slate.
inline void ResetProcessState() {
    TestMode = false;
    SkipSwitch = false;
    DeepLogging = false;
    ResetLogForTesting();
}

struct Wizard {
    // `prepare` runs before window creation (to set services up).
    explicit Wizard(std::vector<std::wstring> params, std::function<void(TMainF&)> prepare = nullptr) {
        ResetProcessState();
        form.ParamsHook = [params] { return params; };
        if (prepare) prepare(form);
        window.Create(form);
        MainF = &form;
        form.FormCreate();
        module = std::make_unique<TdmClient>();
        form.FormShow();
        window.Show();
        window.PumpMessages();
    }
    ~Wizard() {
        if (!window.Destroyed()) window.Close();
        module.reset();
        MainF = nullptr;
        window.PumpMessages();
        ResetProcessState();
    }
    void Click(ui::Ctl button) {
        SendMessageW(window.Handle(button), BM_CLICK, 0, 0);
        window.PumpMessages();
    }

    RecordingQuestions questions;
    win32::WizardWindow window{WizardLayout(), questions};
    TMainF form{window};
    std::unique_ptr<TdmClient> module;
};

}  // namespace bv::test
