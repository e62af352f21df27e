// What the wizard needs from the rest of the program: settings, the web
// helpers, the archive extraction, the desktop shortcut and the music player.
// The product wires the real ones (UseSystemServices); a missing one is
// skipped, so the window's own logic can also run alone.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/questions.h"
#include "util/error.h"

namespace bv {

// Why a download failed (Error::code of DownloadFailure).
enum DownloadFailureKind : int {
    kNotFetched = 1,  // it did not arrive whole (status, network, disk)
    // It arrived, but the vendor's signed list does not vouch for it; it
    // was deleted.
    kNotTrusted = 2,
};

struct WizardServices {
    std::function<std::wstring(const std::wstring& name)> ReadSetting;
    // The vendor's web server as "host" or "host:port".
    std::function<std::wstring()> VendorAuthority;
    std::function<bool(const std::wstring& host, uint32_t timeoutMs)> CheckForInternet;
    std::function<std::wstring()> GetServerBaseURL;
    // Raises AppError when the local file cannot be created. The product
    // also checks each file against the vendor's signed list.
    std::function<bool(const std::wstring& url, const std::wstring& localPath)> DownloadToFile;
    // Why the last DownloadToFile that answered false failed: the kind
    // (DownloadFailureKind) and the cause as the log tells it.
    std::function<Error()> DownloadFailure;
    // Removes what a failed download of `localPath` kept to continue from.
    std::function<void(const std::wstring& localPath)> DiscardPartial;
    // Takes the start-up files out of folder + "BaseFiles.zip", asking
    // `questions` about passwords and failures; never raises. Answers the
    // members that failed or were skipped.
    std::function<std::vector<Error>(const std::wstring& installFolder, const std::wstring& remoteName,
                                     Questions& questions)>
        UnzipExtraBaseFiles;
    std::function<Result<void>(const std::wstring& target, const std::wstring& linkFile)> SaveShellLink;
    std::function<std::wstring()> DesktopFolder;
    // The media player: open and play a file, stop it. Failures are silent.
    std::function<void(const std::wstring& path)> PlayFile;
    std::function<void()> StopPlaying;
};

}  // namespace bv
