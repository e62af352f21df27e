// The plain GET helpers over the platform's HTTP client.
#include "web/http_get.h"

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"
#include "util/log.h"
#include "util/error.h"
#include "util/strings.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace bv {

const wchar_t kUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 6.0; SLCC1";
const wchar_t kAcceptHeader[] =
    L"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

namespace {

net::HttpGetRequest Request(const std::wstring& url, uint32_t timeoutMs, bool noCache) {
    net::HttpGetRequest r;
    r.url = url;
    r.userAgent = kUserAgent;
    r.headers.push_back(kAcceptHeader);
    if (noCache) r.headers.push_back(L"Pragma: no-cache");
    r.connectTimeoutMs = timeoutMs;
    r.readTimeoutMs = timeoutMs;
    return r;
}

// The body bytes as text, by the charset the answer declares.
std::wstring DecodeBody(const std::string& body, const std::wstring& contentType) {
    std::wstring type = LowerAscii(contentType);
    size_t at = type.find(L"charset=");
    std::wstring charset = at == std::wstring::npos ? L"" : Trim(type.substr(at + 8));
    if (!charset.empty() && charset.front() == L'"') charset = charset.substr(1);
    if (charset.rfind(L"utf-8", 0) == 0 || charset.rfind(L"utf8", 0) == 0) return os::FromUtf8(body);
    if (charset.rfind(L"iso-8859-1", 0) == 0 || charset.rfind(L"us-ascii", 0) == 0) {
        std::wstring out;
        for (unsigned char c : body) out.push_back(static_cast<wchar_t>(c));
        return out;
    }
    return os::FromAnsi(body);
}

struct Attempt {
    bool completed = false;  // the GET ran to its end with a 2xx answer
    uint64_t bytes = 0;
    std::wstring failure;    // why it did not
};

// SHA-256 on a thread of its own: the receiving thread hands each block
// over and goes back to the network, so hashing overlaps the wait for the
// next block instead of adding to it (the system's SHA-256 can be slower
// than a fast link). At most kMaxQueued bytes wait; beyond that the
// receiving thread waits for the hash, so memory stays bounded.
class HashPipe {
public:
    HashPipe() : worker_([this] { Run(); }) {}
    ~HashPipe() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }
    HashPipe(const HashPipe&) = delete;
    HashPipe& operator=(const HashPipe&) = delete;

    // Starts a new message, dropping what waits of the last one.
    bool Reset() {
        pending_.clear();
        std::unique_lock<std::mutex> lock(mutex_);
        for (const std::string& block : blocks_) queued_ -= block.size();
        blocks_.clear();
        idle_.wait(lock, [this] { return !busy_; });
        failed_ = !hash_.Reset();
        return !failed_;
    }
    // Blocks are gathered into pieces of kPiece bytes before they are
    // handed over: a hand-over costs thread switches (under Wine, calls to
    // its server), too many for every 8 KB read of a fast link.
    void Add(std::string_view block) {
        pending_.append(block);
        if (pending_.size() >= kPiece) HandOver();
    }
    // Waits for every block handed over, then answers the digest.
    bool Final(crypto::Sha256Digest& digest) {
        if (!pending_.empty()) HandOver();
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return blocks_.empty() && !busy_; });
        return !failed_ && hash_.Final(digest);
    }

private:
    static constexpr size_t kMaxQueued = 16u << 20;
    static constexpr size_t kPiece = 1u << 20;

    void HandOver() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queued_ < kMaxQueued; });
        queued_ += pending_.size();
        blocks_.push_back(std::move(pending_));
        pending_.clear();
        pending_.reserve(kPiece + (1u << 20));
        wake_.notify_one();
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            if (blocks_.empty()) return;
            std::string block = std::move(blocks_.front());
            blocks_.pop_front();
            busy_ = true;
            lock.unlock();
            bool ok = hash_.Update(block.data(), block.size());
            lock.lock();
            failed_ = failed_ || !ok;
            queued_ -= block.size();
            busy_ = false;
            idle_.notify_all();
        }
    }

    crypto::Sha256 hash_;  // the worker's while busy_, the caller's when idle
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::string pending_;  // the receiving thread's, not yet handed over
    std::deque<std::string> blocks_;
    size_t queued_ = 0;
    bool busy_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

// Each block is hashed as it is written, so the check needs no second read
// of the file.
Attempt GetIntoFile(const std::wstring& url, uint32_t timeoutMs, fs::File& file, HashPipe* hash,
                    const WebHooks& hooks) {
    Attempt attempt;
    bool hashFailed = hash && !hash->Reset();
    net::HttpGetRequest request = Request(url, timeoutMs, true);
    const void* sender = &request;
    uint32_t writeError = 0;
    bool writeFailed = false;
    Result<net::HttpGetAnswer> result = net::HttpGet(request, [&](std::string_view block) {
        Result<void> written = file.Write(block);
        if (!written) {
            writeError = written.error().native;
            writeFailed = true;
            return false;
        }
        attempt.bytes += block.size();
        if (hash) hash->Add(block);
        if (hooks.ShowProgress)
            hooks.ShowProgress(sender, WorkMode::Read, static_cast<int64_t>(attempt.bytes));
        return true;
    });
    attempt.completed = result.ok();
    if (writeFailed)
        attempt.failure = L"the file could not be written: " +
                          (writeError ? os::SystemErrorText(writeError) : std::wstring(L"fewer bytes were stored than received"));
    else if (!result)
        attempt.failure = result.error().detail.empty() ? std::wstring(L"the request failed") : result.error().detail;
    else if (attempt.bytes == 0)
        attempt.failure = L"the server sent an empty body";
    else if (hashFailed) {
        attempt.completed = false;
        attempt.failure = L"the file could not be hashed";
    }
    return attempt;
}

}  // namespace

Result<void> DownloadFile(const std::wstring& url, const std::wstring& localPath, const WebHooks& hooks,
                          const DigestCheck& check) {
    fs::File file;
    Result<void> created = file.Open(localPath, fs::FileMode::CreateExclusive);
    if (!created)
        throw AppError(L"EFCreateError", L"Cannot create file \"" + fs::FullPath(localPath) +
                                             L"\". " + os::SystemErrorText(created.error().native));

    // Only a checked download is hashed.
    std::optional<HashPipe> hash;
    if (check) hash.emplace();
    HashPipe* hasher = hash ? &*hash : nullptr;
    Attempt first = GetIntoFile(url, 3000, file, hasher, hooks);
    bool outcome = first.completed && first.bytes > 0;
    std::wstring failure;
    if (!outcome) {
        (void)file.Empty();
        Attempt retry = GetIntoFile(url, 6000, file, hasher, hooks);
        outcome = retry.completed && retry.bytes > 0;
        failure = retry.failure;
        if (!retry.completed && hooks.ShowStatus)
            hooks.ShowStatus(L"Failed to download from URL: " + url);
    }
    (void)file.Close();
    if (!outcome || FileSizeOf(localPath) == 0) {
        (void)fs::RemoveFile(localPath);
        return Error{kDownloadFailed, 0, failure.empty() ? std::wstring(L"the file is empty") : failure};
    }
    if (check) {
        crypto::Sha256Digest digest{};
        Result<void> trusted = hash->Final(digest) ? check(digest)
                                                  : Result<void>(Error{0, 0, L"the file could not be hashed"});
        if (!trusted) {
            // A file the vendor does not vouch for is not kept under any name.
            (void)fs::RemoveFile(localPath);
            return Error{kDownloadUntrusted, trusted.error().native, trusted.error().detail};
        }
    }
    return {};
}

bool DownloadToFile(const std::wstring& url, const std::wstring& localPath, const WebHooks& hooks) {
    return DownloadFile(url, localPath, hooks).ok();
}

int32_t FileSizeOf(const std::wstring& path) {
    if (!fs::FileExists(path)) return -1;
    Result<uint64_t> opened = fs::OpenedFileSize(path);
    if (!opened)
        throw AppError(L"EFOpenError", L"Cannot open file \"" + fs::FullPath(path) + L"\". " +
                                           os::SystemErrorText(opened.error().native));
    uint64_t size = opened.value();
    // A size past the 32-bit range must not read as 0 (an empty file).
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(size);
}

std::wstring GetURLAsString(const std::wstring& url) {
    WriteLog(L"GetURLAsString started for " + url);
    net::HttpGetRequest request = Request(url, 3000, false);
    WriteLog(L"http url is " + url + L". Attempting GET");
    std::string body;
    Result<net::HttpGetAnswer> result = net::HttpGet(request, [&](std::string_view block) {
        body.append(block);
        return true;
    });
    if (!result) {
        WriteLog(L"GET failed:  " + result.error().detail);
        return {};
    }
    std::wstring text = DecodeBody(body, result.value().contentType);
    WriteLog(L"GET Result is " + std::to_wstring(text.size()) + L" chars,  " + text.substr(0, 20));
    return text;
}

}  // namespace bv
