// The real wizard window in the test process: created, filled and shown as
// program start does, with the modal questions answered by the test.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MainU.h"
#include "app/layout.h"
#include "platform/win32/wizard_window.h"
#include "tests/app/recording_questions.h"
#include "transfer/dmClient.h"
#include "util/log.h"
#include "util/error.h"

namespace bv::test {

// Switches and the log are process-wide: every wizard starts from a clean slate.
inline void ResetProcessState() {
    TestMode = false;
    SkipSwitch = false;
    DeepLogging = false;
    ResetLogForTesting();
}

struct Wizard {
    // `prepare` runs before window creation (to set services up); the timer
    // ticks every `timerMs`.
    explicit Wizard(std::vector<std::wstring> params, std::function<void(TMainF&)> prepare = nullptr,
                    UINT timerMs = 4000) {
        ResetProcessState();
        form.ParamsHook = [params] { return params; };
        if (prepare) prepare(form);
        window.Create(form, timerMs);
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
    void Click(ui::ControlId button) {
        SendMessageW(window.Handle(button), BM_CLICK, 0, 0);
        window.PumpMessages();
    }
    // Walks the pages with the given choices (a sire of -1 keeps the page's
    // own) and presses Install; `during` runs right after. Then ticks the
    // timer until the batch has finished or stands still. False when the
    // folder page refused.
    bool Install(const std::wstring& folder, int language, int sire, int program,
                 const std::function<void()>& during = nullptr) {
        window.SetText(Ctl::edInstallFolder, folder);
        Click(Ctl::btnNext1);
        if (window.ActivePage() != Ctl::tbSelectLangfiles) return false;
        window.SetItemIndex(Ctl::rgLanguage, language);
        Click(Ctl::btnNext3);
        if (sire >= 0) window.SetItemIndex(Ctl::rgSireFiles, sire);
        Click(Ctl::btnNext4);
        window.SetItemIndex(Ctl::rgProgram, program);
        Click(Ctl::btnNext5);
        if (during) during();
        for (int tick = 0; tick < 12 && !window.IsEnabled(Ctl::btnFinish); ++tick) {
            window.PumpMessages();
            form.NotifyTimerTimer();
        }
        window.PumpMessages();
        return true;
    }

    RecordingQuestions questions;
    win32::WizardWindow window{WizardLayout(), questions};
    TMainF form{window};
    std::unique_ptr<TdmClient> module;
};

}  // namespace bv::test
