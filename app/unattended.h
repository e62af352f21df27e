// The unattended mode for deployment: long options choose the folder,
// language, sire file and program; the wizard then walks its own pages
// through the same handlers a user's clicks run, presses Finish when it is
// enabled, and ends with an exit status that deployment tools understand.
#pragma once
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/MainU.h"

namespace bv {

enum UnattendedExit {
    kExitInstalled = 0,
    kExitBadOptions = 1,
    kExitPageRefused = 3,
    kExitStalled = 4,
    kExitClosedEarly = 5,
    // Installed, but a finishing step went wrong (an executable not
    // replaced, a start-up file not extracted, no shortcut).
    kExitInstalledWithProblems = 6,
    // A download failed its integrity check: the vendor's signed list does
    // not vouch for a file that arrived (or there is no valid list).
    kExitUntrusted = 7,
};

struct UnattendedOptions {
    bool enabled = false;
    std::optional<std::wstring> folder;
    // A choice left out is left to its page, as a user who presses Next
    // leaves it: English; the sire file the page shows (the Italian one
    // after Italian); the program the folder suggests.
    std::optional<int> language;  // index into the language list
    std::optional<int> sire;      // index into the sire list
    std::optional<int> program;
    // --retries=N: how often the file a batch stalled on is tried again,
    // as Retry does, after waits of 1, 2, 4 ... seconds (at most 30); the
    // count starts again with each file that stalls (0 or more).
    int retries = 0;
};

// Reads the long options ("--" and more): --auto, --folder=, --language=,
// --sire=, --program=, --retries=, and --vendor-host=, whose value the web
// module reads. Every parameter is read before any is judged, so a problem
// placed before --auto counts as much as one after it. Answers one text per
// problem, in the order of the parameters: an option the program does not
// know, a missing or unknown value. The switches ("-D", "-L", "-P") and
// parameters that do not begin with "--" are SetParams' business.
std::vector<std::wstring> ParseUnattended(const std::vector<std::wstring>& params, UnattendedOptions& options);

// Drives one installation. Progress goes to `out`, failures to `err`.
class Unattended : public Questions {
public:
    Unattended(TMainF& form, UnattendedOptions options, std::FILE* out, std::FILE* err);

    // Walks the pages and presses Install. Afterwards the timer runs the
    // batch; the outcome arrives through the form's OnInstallFinished.
    void Start();
    int ExitCode() const { return exitCode_; }

    // Modal questions are not asked: they are reported and answered as a
    // dismissal would.
    void ShowMessage(const std::wstring& text) override;
    void ShowError(const std::wstring& text) override;
    // The archive's questions: an encrypted member is skipped, as Cancel
    // does; a member that fails is passed over, as Ignore does.
    Answer AskPassword(const std::wstring& memberName, std::wstring& password) override;
    Answer AskFailure(const std::wstring& message, bool canRetry) override;

private:
    void Print(std::FILE* f, const std::wstring& text);
    void Finished();

    TMainF& form_;
    UnattendedOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    int exitCode_ = kExitClosedEarly;
    int fileNumber_ = 0;
    int retried_ = 0;            // retries of the file stalled on
    std::wstring retriedFile_;
    bool done_ = false;
};

}  // namespace bv
