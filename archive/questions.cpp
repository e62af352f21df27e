// The system's questions, and the replaceable default.
#include "archive/questions.h"

#include "platform/zip_dialogs.h"

namespace bv {
namespace {

class SystemQuestions : public ZipQuestions {
public:
    bool AskPassword(const std::wstring& memberName, std::wstring& password) override {
        return dialogs::AskZipPassword(L"Password for \"" + memberName + L"\"", password);
    }
    Answer AskFailure(const std::wstring& message, bool canRetry) override {
        switch (dialogs::AskZipFailure(message, canRetry)) {
            case dialogs::FailureAnswer::Abort: return Answer::Abort;
            case dialogs::FailureAnswer::Retry: return Answer::Retry;
            case dialogs::FailureAnswer::Ignore: break;
        }
        return Answer::Ignore;
    }
};

ZipQuestions* g_default = nullptr;

}  // namespace

ZipQuestions& SystemZipQuestions() {
    static SystemQuestions questions;
    return questions;
}

ZipQuestions& DefaultZipQuestions() { return g_default ? *g_default : SystemZipQuestions(); }

void SetDefaultZipQuestions(ZipQuestions* questions) { g_default = questions; }

}  // namespace bv
