// Plain blocking HTTP GETs outside the transfer client: a file download with
// one retry, the size of a local file, and a GET into a text. Every request
// goes out over IPv4 with the wizard's "User-Agent", no proxy, and does not
// follow redirects; a status outside 200-299 is a failure.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/crypto.h"
#include "util/error.h"

namespace bv {

// How a transfer's work notification counts: bytes received or sent.
enum class WorkMode { Read, Write };

// Where a download reports to the user, given with each call. The window
// passes its ShowProgress and ShowStatus; unset hooks are skipped.
struct WebHooks {
    // Once per received block: the client object, the mode and the bytes of
    // the current attempt received so far.
    std::function<void(const void* sender, WorkMode mode, int64_t workCount)> ShowProgress;
    std::function<void(const std::wstring& text)> ShowStatus;
};

// Why a download failed (Error::code): it did not arrive whole, or it
// arrived and its content is not what the vendor vouches for.
enum DownloadFailure : int { kDownloadFailed = 1, kDownloadUntrusted = 2 };

// Decides whether a downloaded body may be kept, by its SHA-256 (the
// vendor's signed list); answers the cause when it may not.
using DigestCheck = std::function<Result<void>(const crypto::Sha256Digest& digest)>;

// Fetches `url` into the file at `localPath` through a partial file beside
// it (PartialFileOf), hashing the body with SHA-256 as it is written; only a
// body that arrived whole, non-empty and (when `check` is set) vouched for
// by `check` is put in place of `localPath`, in one step. Until then a file
// already at `localPath` stays as it was, whatever happens. The partial file
// is created (or emptied) before any request; if that fails, AppError
// "EFCreateError" naming `localPath` is raised and no request is made.
// The first attempt waits 3000 ms to connect and per read, the one retry
// 6000 ms. When the first attempt received part of a whole (200) answer that
// carried its length and an ETag or Last-Modified, the retry asks for the
// rest ("Range" with "If-Range"): a 206 that continues the file exactly is
// appended, a 200 starts the file over, anything else fails. A retry that
// fails shows "Failed to download from URL: " + url through `hooks`; the
// progress counts the bytes of the whole file. On a failure whose partial
// file can be continued, the partial file is kept and the next call for the
// same `localPath` continues it (its kept bytes hashed first); any other
// failure removes it. The error says why: kDownloadFailed with the answer's
// status, the system's message (disk full, access denied), a body that did
// not end where its head said, a timeout or an empty body;
// kDownloadUntrusted with the cause `check` gave.
Result<void> DownloadFile(const std::wstring& url, const std::wstring& localPath, const WebHooks& hooks = {},
                          const DigestCheck& check = {});

// The partial file a download of `localPath` writes into.
std::wstring PartialFileOf(const std::wstring& localPath);
// Removes the partial file of `localPath`, if any, and forgets what it
// held: the next download of `localPath` starts from its first byte.
void DiscardPartial(const std::wstring& localPath);

// DownloadFile without a check, as a truth value: true when the file then
// holds a non-empty body.
bool DownloadToFile(const std::wstring& url, const std::wstring& localPath, const WebHooks& hooks = {});

// Size in bytes of the file at `path` (at most 2^31-1), or -1 when there is
// no such file. A file that cannot be opened raises AppError "EFOpenError".
int32_t FileSizeOf(const std::wstring& path);

// The body of `url` as text (decoded with the answer's charset; the ANSI
// code page when it names none), or empty text on any failure. Logs its
// steps.
std::wstring GetURLAsString(const std::wstring& url);

// The request settings shared with the download-address lookup.
extern const wchar_t kUserAgent[];
extern const wchar_t kAcceptHeader[];

}  // namespace bv
