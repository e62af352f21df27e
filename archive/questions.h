// The modal questions of the ZIP component behind one injectable interface:
// the password window and the Abort/Retry/Ignore failure dialog. The system
// implementation shows the real dialogs; tests and the command-line tool
// install their own answers.
#pragma once
#include <string>

namespace bv {

class ZipQuestions {
public:
    enum class Answer { Abort, Retry, Ignore };
    virtual ~ZipQuestions() = default;
    // Asks for the password of the member stored as `memberName`; false on Cancel.
    virtual bool AskPassword(const std::wstring& memberName, std::wstring& password) = 0;
    // Shows a failure; without `canRetry` only Abort and Ignore are offered.
    virtual Answer AskFailure(const std::wstring& message, bool canRetry) = 0;
};

// The real dialogs of the platform.
ZipQuestions& SystemZipQuestions();

// The questions every ZipArchiver asks unless it was given its own; the
// system ones until replaced. nullptr restores them.
ZipQuestions& DefaultZipQuestions();
void SetDefaultZipQuestions(ZipQuestions* questions);

}  // namespace bv
