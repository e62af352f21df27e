// Unzip: selected members of an archive into a folder, answering one Boolean;
// the log line before each extraction, and the wizard's start-up extraction
// of the fixed member list from "BaseFiles.zip".
#pragma once
#include <string>
#include <vector>

#include "platform/questions.h"
#include "util/error.h"

namespace bv {

// True unless the archive could not be opened, a mask failed, or closing
// failed. Failures of single members are settled through `questions` and
// never make it false. Never raises.
bool Unzip(const std::wstring& Password, const std::wstring& ArchivePath,
           const std::wstring& DestFolder, const std::wstring& Masks, Questions& questions);

// Logs "Unzip <password>, <archive>, <dest>, <mask>" (a non-empty password is
// written as "*****") and calls Unzip; the result is dropped.
void UnzipAndLog(const std::wstring& Password, const std::wstring& ArchivePath,
                 const std::wstring& DestFolder, const std::wstring& Mask, Questions& questions);

// The start-up members taken for the remote name the archive was fetched
// under, in extraction order.
std::vector<std::wstring> StartupMembers(const std::wstring& RemoteName);

// Extracts StartupMembers(RemoteName) from InstallFolder + "BaseFiles.zip"
// into InstallFolder (which ends in "\"), one UnzipAndLog per member. Never
// raises; answers what kept members out (the archive could not be opened,
// a member failed and was not retried, a password was not given), each
// also logged, and naming the file of the installation that was kept in
// the member's place. An archive opened by the scan is logged and
// extracted as usual.
std::vector<Error> UnzipExtraBaseFiles(const std::wstring& InstallFolder, const std::wstring& RemoteName,
                                       Questions& questions);

}  // namespace bv
