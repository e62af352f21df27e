// The program's modal questions behind one interface: the plain message, the
// standard error box, a member's password and a failure's Abort, Retry or
// Ignore. The window, the unattended mode, the command-line tool and the
// tests each answer them their own way; SystemQuestions() shows the real
// dialogs.
#pragma once
#include <string>

namespace bv {

// The answer to any of the questions.
enum class Answer { Ok, Cancel, Abort, Retry, Ignore };

class Questions {
public:
    virtual ~Questions() = default;
    // A plain message box with one OK button, centred on the screen.
    virtual void ShowMessage(const std::wstring& text) = 0;
    // The framework's standard error box for an error no layer caught.
    virtual void ShowError(const std::wstring& text) = 0;
    // The password of the member stored as `memberName`: Ok with `password`
    // filled in, or Cancel.
    virtual Answer AskPassword(const std::wstring& memberName, std::wstring& password) = 0;
    // Shows a failure: Abort, Retry or Ignore; without `canRetry` only Abort
    // and Ignore are offered.
    virtual Answer AskFailure(const std::wstring& message, bool canRetry) = 0;
};

// The real dialogs of the platform, owned by no window.
Questions& SystemQuestions();

}  // namespace bv
