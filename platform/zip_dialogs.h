// The modal questions of archive extraction and adding as the system shows
// them: the password window and the Abort/Retry/Ignore failure dialog.
#pragma once
#include <string>

namespace bv::dialogs {

// Password window with caption `caption`; false when the user pressed Cancel.
bool AskZipPassword(const std::wstring& caption, std::wstring& password);

enum class FailureAnswer { Abort, Retry, Ignore };
// Confirmation dialog with Abort, Retry (when `canRetry`) and Ignore.
FailureAnswer AskZipFailure(const std::wstring& message, bool canRetry);

}  // namespace bv::dialogs
