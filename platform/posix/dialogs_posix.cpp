// Native builds have no windows: messages go to the standard error, the
// password window is cancelled and a failure is ignored, as an unattended
// run would answer them.
#include <cstdio>

#include "platform/os.h"
#include "platform/questions.h"

namespace bv {
namespace {

class NoWindows : public Questions {
public:
    void ShowMessage(const std::wstring& text) override {
        std::fprintf(stderr, "%s\n", os::ToUtf8(text).c_str());
    }
    void ShowError(const std::wstring& text) override {
        std::fprintf(stderr, "error: %s\n", os::ToUtf8(text).c_str());
    }
    Answer AskPassword(const std::wstring&, std::wstring&) override { return Answer::Cancel; }
    Answer AskFailure(const std::wstring&, bool) override { return Answer::Ignore; }
};

}  // namespace

Questions& SystemQuestions() {
    static NoWindows questions;
    return questions;
}

}  // namespace bv
