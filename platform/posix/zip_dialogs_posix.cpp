// Native builds have no windows: the password window is cancelled and a
// failure is ignored, as an unattended run would answer them.
#include "platform/zip_dialogs.h"

namespace bv::dialogs {

bool AskZipPassword(const std::wstring&, std::wstring&) { return false; }

FailureAnswer AskZipFailure(const std::wstring&, bool) { return FailureAnswer::Ignore; }

}  // namespace bv::dialogs
