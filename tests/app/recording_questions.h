// Modal questions answered by a test: every message, error and question is
// recorded; the archive's questions are dismissed.
#pragma once
#include <string>
#include <vector>

#include "platform/ui.h"

namespace bv::test {

class RecordingQuestions : public ui::Questions {
public:
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
    void ShowError(const std::wstring& text) override { errors.push_back(text); }
    Answer AskPassword(const std::wstring& memberName, std::wstring&) override {
        passwordAsks.push_back(memberName);
        return Answer::Cancel;
    }
    Answer AskFailure(const std::wstring& message, bool) override {
        failures.push_back(message);
        return Answer::Ignore;
    }
    std::vector<std::wstring> messages, errors, passwordAsks, failures;
};

}  // namespace bv::test
