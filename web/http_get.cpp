// The plain GET helpers over the platform's HTTP client.
#include "web/http_get.h"

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"
#include "util/log.h"
#include "util/error.h"
#include "util/strings.h"

#include <condition_variable>
#include <algorithm>
#include <deque>
#include <map>
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

// What a download that failed left in its partial file for the next call
// to continue: the validator of the answer the bytes came from (its ETag,
// or its Last-Modified) and the whole file's length. Kept for the process's
// life, by the partial file's name.
struct Partial {
    std::wstring validator;
    uint64_t total = 0;
};
std::mutex partialsMutex;
std::map<std::wstring, Partial> partials;

std::wstring PartialKey(const std::wstring& localPath) { return LowerAscii(fs::FullPath(PartialFileOf(localPath))); }

// "bytes first-last/total" of a 206 answer.
bool ParseContentRange(const std::wstring& value, uint64_t& first, uint64_t& last, uint64_t& total) {
    std::wstring v = Trim(value);
    if (LowerAscii(v.substr(0, 6)) != L"bytes ") return false;
    v = Trim(v.substr(6));
    auto number = [&](size_t& at, uint64_t& n) {
        size_t start = at;
        n = 0;
        while (at < v.size() && v[at] >= L'0' && v[at] <= L'9' && at - start < 18) n = n * 10 + (v[at++] - L'0');
        return at > start && (at == v.size() || v[at] < L'0' || v[at] > L'9');
    };
    size_t at = 0;
    if (!number(at, first) || at >= v.size() || v[at++] != L'-') return false;
    if (!number(at, last) || at >= v.size() || v[at++] != L'/') return false;
    return number(at, total) && at == v.size() && first <= last && last < total;
}

// One download into the partial file: its bytes so far, where they came
// from, and the hash over them.
struct Transfer {
    fs::File& file;
    HashPipe* hash;
    const WebHooks& hooks;
    uint64_t have = 0;       // bytes in the partial file
    Partial source;          // the answer they came from (validator empty: none to continue from)
    bool hashFailed = false;
    bool writeFailed = false;
    uint32_t writeError = 0;
    bool getFailed = false;  // the last attempt's GET ended with an error

    // Back to an empty file.
    bool StartOver() {
        have = 0;
        source = {};
        if (hash && !hash->Reset()) hashFailed = true;
        return file.Empty().ok();
    }
};

// Whether a failed attempt left bytes the next one may continue from.
bool Resumable(const Transfer& t) { return t.have > 0 && !t.source.validator.empty() && t.have < t.source.total; }

// One attempt: asks for the rest when the partial file can be continued,
// for the whole file otherwise. Answers why it failed, or empty text when
// the body arrived whole. Each block is hashed as it is written, so the
// check needs no second read of the file.
std::wstring Attempt(const std::wstring& url, uint32_t timeoutMs, Transfer& t, bool& statusRefused) {
    // statusRefused: the server refused to continue the file (an error
    // status or a partial answer that does not fit).
    net::HttpGetRequest request = Request(url, timeoutMs, true);
    t.writeFailed = false;
    t.writeError = 0;
    bool ranged = Resumable(t);
    if (ranged) {
        request.headers.push_back(L"Range: bytes=" + std::to_wstring(t.have) + L"-");
        request.headers.push_back(L"If-Range: " + t.source.validator);
    }
    const void* sender = &request;
    std::wstring refused;
    bool rangeRefused = false;
    auto onHead = [&](const net::HttpGetAnswer& head) {
        if (head.status == 206) {
            uint64_t first = 0, last = 0, total = 0;
            if (!ranged || !ParseContentRange(head.Header(L"Content-Range"), first, last, total) ||
                first != t.have || total != t.source.total || last + 1 != total ||
                (head.contentLength >= 0 && static_cast<uint64_t>(head.contentLength) != total - first)) {
                refused = L"the server's partial answer does not continue the file (" +
                          head.Header(L"Content-Range") + L")";
                rangeRefused = true;
                return false;
            }
            if (t.file.Seek(t.have)) return true;
            refused = L"the partial file could not be continued";
            return false;
        }
        // A whole answer: the file starts over, and what the answer says of
        // itself lets a later attempt continue it.
        if (!t.StartOver()) {
            refused = L"the partial file could not be emptied";
            return false;
        }
        std::wstring validator = head.Header(L"ETag");
        if (validator.empty()) validator = head.Header(L"Last-Modified");
        if (head.contentLength > 0) t.source = Partial{validator, static_cast<uint64_t>(head.contentLength)};
        if (ranged && t.hooks.ShowProgress) t.hooks.ShowProgress(sender, WorkMode::Read, 0);
        return true;
    };
    Result<net::HttpGetAnswer> result = net::HttpGet(request, [&](std::string_view block) {
        Result<void> written = t.file.Write(block);
        if (!written) {
            t.writeError = written.error().native;
            t.writeFailed = true;
            return false;
        }
        t.have += block.size();
        if (t.hash) t.hash->Add(block);
        if (t.hooks.ShowProgress) t.hooks.ShowProgress(sender, WorkMode::Read, static_cast<int64_t>(t.have));
        return true;
    }, onHead);
    statusRefused = rangeRefused || (ranged && !result && result.error().code == net::kNetStatus);
    t.getFailed = !result;
    if (t.writeFailed)
        return L"the file could not be written: " +
               (t.writeError ? os::SystemErrorText(t.writeError) : std::wstring(L"fewer bytes were stored than received"));
    if (!refused.empty()) return refused;
    if (!result) return result.error().detail.empty() ? std::wstring(L"the request failed") : result.error().detail;
    if (t.have == 0) return L"the server sent an empty body";
    // A partial answer without a length of its own ends at the close: the
    // file is whole only when it reached the length the answers gave.
    if (t.source.total > 0 && t.have != t.source.total)
        return L"Connection closed after " + std::to_wstring(t.have) + L" of " + std::to_wstring(t.source.total) +
               L" bytes";
    if (t.hashFailed) return L"the file could not be hashed";
    return {};
}

}  // namespace

std::wstring PartialFileOf(const std::wstring& localPath) { return localPath + L".part"; }

void DiscardPartial(const std::wstring& localPath) {
    {
        std::lock_guard<std::mutex> lock(partialsMutex);
        partials.erase(PartialKey(localPath));
    }
    std::wstring part = PartialFileOf(localPath);
    if (fs::FileExists(part)) (void)fs::RemoveFile(part);
}

Result<void> DownloadFile(const std::wstring& url, const std::wstring& localPath, const WebHooks& hooks,
                          const DigestCheck& check) {
    const std::wstring part = PartialFileOf(localPath);
    std::optional<Partial> known;
    {
        std::lock_guard<std::mutex> lock(partialsMutex);
        auto found = partials.find(PartialKey(localPath));
        if (found != partials.end()) {
            known = found->second;
            partials.erase(found);
        }
    }
    fs::File file;
    uint64_t kept = 0;
    if (known && fs::FileExists(part) && file.Open(part, fs::FileMode::ReadWrite)) {
        Result<uint64_t> size = file.Size();
        kept = size ? size.value() : 0;
        if (kept == 0 || kept >= known->total) {
            (void)file.Close();
            kept = 0;
        }
    }
    if (!file.IsOpen()) {
        Result<void> created = file.Open(part, fs::FileMode::Create);
        if (!created)
            throw AppError(L"EFCreateError", L"Cannot create file \"" + fs::FullPath(localPath) + L"\". " +
                                                 os::SystemErrorText(created.error().native));
    }

    // Only a checked download is hashed; bytes kept from an earlier call
    // are hashed first, so the digest covers the whole file.
    std::optional<HashPipe> hash;
    if (check) hash.emplace();
    Transfer t{file, hash ? &*hash : nullptr, hooks, 0, {}, false, false, 0, false};
    if (t.hash && !t.hash->Reset()) t.hashFailed = true;
    if (kept > 0) {
        t.have = kept;
        t.source = *known;
        if (t.hash) {
            std::string block(1u << 20, '\0');
            uint64_t read = 0;
            (void)file.Seek(0);
            while (read < kept) {
                Result<size_t> got = file.Read(block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), kept - read)));
                if (!got || got.value() == 0) break;
                t.hash->Add(std::string_view(block.data(), got.value()));
                read += got.value();
            }
            if (read != kept) (void)t.StartOver();
        }
    }

    bool statusRefused = false;
    std::wstring failure = Attempt(url, 3000, t, statusRefused);
    if (!failure.empty()) {
        // A refused range leaves nothing to continue from.
        if (statusRefused || t.hashFailed) t.source = {};
        failure = Attempt(url, 6000, t, statusRefused);
        if (t.getFailed && hooks.ShowStatus) hooks.ShowStatus(L"Failed to download from URL: " + url);
    }
    (void)file.Close();
    if (!failure.empty()) {
        if (!statusRefused && !t.hashFailed && Resumable(t)) {
            // Kept for a later call (the Retry) to continue.
            std::lock_guard<std::mutex> lock(partialsMutex);
            partials[PartialKey(localPath)] = t.source;
        } else {
            (void)fs::RemoveFile(part);
        }
        return Error{kDownloadFailed, 0, failure};
    }
    if (check) {
        crypto::Sha256Digest digest{};
        Result<void> trusted = hash->Final(digest) ? check(digest)
                                                  : Result<void>(Error{0, 0, L"the file could not be hashed"});
        if (!trusted) {
            // A file the vendor does not vouch for is not kept under any name.
            (void)fs::RemoveFile(part);
            return Error{kDownloadUntrusted, trusted.error().native, trusted.error().detail};
        }
    }
    Result<void> placed = fs::RenameOver(part, localPath);
    if (!placed) {
        (void)fs::RemoveFile(part);
        return Error{kDownloadFailed, placed.error().native,
                     L"the file could not be put in place: " + os::SystemErrorText(placed.error().native)};
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
