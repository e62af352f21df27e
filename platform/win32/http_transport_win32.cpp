// The transfer client's transport over the system's internet API (WinInet),
// opened with the preconfigured settings so that the user's proxy applies.
#include <windows.h>
#include <wininet.h>

#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/http_transport.h"

namespace bv::http {
namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kReceiveTimeoutMs = 120000;
// Every request goes to the server: no cached copy used, the answer not
// stored; a redirect is an answer like any other; the connection is kept.
// No cookies or credentials go to the server and no dialog is ever shown:
// the requests run on a worker thread for a server that needs neither.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI;

bool SameName(const std::wstring& a, const wchar_t* b) {
    return _wcsicmp(a.c_str(), b) == 0;
}

std::wstring QueryText(HINTERNET request, DWORD what) {
    DWORD size = 0;
    HttpQueryInfoW(request, what, nullptr, &size, nullptr);
    if (size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, what, text.data(), &size, nullptr)) return {};
    text.resize(size / sizeof(wchar_t));
    return text;
}

// The handle of the internet API's session, shared by its connections.
// Its status callback tells each connection when its request has reached the
// server (see WinInetConnection::SendHead).
struct Session {
    HINTERNET handle = nullptr;
    ~Session() {
        if (handle) InternetCloseHandle(handle);
    }
};

// One connection. Its blocking calls run on an I/O thread of its own while
// the caller waits, so that Abort can release the caller at once whether or
// not the internet API lets a blocked call be cut short: the I/O thread
// finishes its call on its own data (never the caller's), closes the
// handles and ends. Closing the request handle, done on a short-lived thread
// so that no caller waits for it, ends a blocked call where the API allows.
class WinInetConnection : public Connection {
public:
    WinInetConnection(std::shared_ptr<Session> session, HINTERNET connect) : s_(std::make_shared<Shared>()) {
        s_->session = std::move(session);
        s_->connect = connect;
        s_->id = Register(s_);
        std::thread([s = s_] { IoLoop(s); }).detach();
    }
    ~WinInetConnection() override {
        Forget(s_->id);
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->quit = true;
        s_->wake.notify_all();
    }

    // The session's status callback: the request of connection `context`
    // is connected once the internet API connects it or starts sending on a
    // connection it kept.
    static void CALLBACK Status(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
        if (context == 0) return;
        if (status == INTERNET_STATUS_CLOSING_CONNECTION || status == INTERNET_STATUS_CONNECTION_CLOSED) {
            std::shared_ptr<Shared> s = Find(context);
            if (!s) return;
            std::lock_guard<std::mutex> lock(s->mutex);
            s->connectionClosed = true;
            return;
        }
        if (status != INTERNET_STATUS_CONNECTED_TO_SERVER && status != INTERNET_STATUS_SENDING_REQUEST &&
            status != INTERNET_STATUS_REQUEST_SENT)
            return;
        std::shared_ptr<Shared> s = Find(context);
        if (!s) return;
        std::lock_guard<std::mutex> lock(s->mutex);
        s->connected = true;
        s->wake.notify_all();
    }

    Result<void> SendHead(const RequestHead& head) override {
        std::wstring headers;
        for (const Header& h : head.headers)
            if (!SameName(h.first, L"Content-Length")) headers += h.first + L": " + h.second + L"\r\n";
        std::wstring method = head.method, path = head.path;
        int64_t length = head.contentLength;
        if (length < 0 || length > kMaxRequestBody) return Error{kBroken, 0, L"a body of this length cannot be sent"};
        return RunConnecting([method, path, headers, length](Shared& s) -> const wchar_t* {
            HINTERNET previous;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                previous = s.request;
                s.request = nullptr;
            }
            if (previous) InternetCloseHandle(previous);
            HINTERNET request = HttpOpenRequestW(s.connect, method.c_str(), path.c_str(), L"HTTP/1.1", nullptr,
                                                 nullptr, kRequestFlags, s.id);
            if (!request) return L"HttpOpenRequest";
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.request = request;
            }
            DWORD connectTimeout = kConnectTimeoutMs, receiveTimeout = kReceiveTimeoutMs;
            InternetSetOptionW(request, INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof connectTimeout);
            InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);
            if (length > 0) {
                // The body follows in blocks: HttpSendRequestEx sends the
                // head with the total as Content-Length, HttpEndRequest ends it.
                if (!headers.empty() &&
                    !HttpAddRequestHeadersW(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                            HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
                    return L"HttpAddRequestHeaders";
                INTERNET_BUFFERSW buffers{};
                buffers.dwStructSize = sizeof buffers;
                buffers.dwBufferTotal = static_cast<DWORD>(length);
                if (!HttpSendRequestExW(request, &buffers, nullptr, 0, 0)) return L"HttpSendRequestEx";
                s.bodyPending = true;
            } else {
                if (!HttpSendRequestW(request, headers.empty() ? nullptr : headers.c_str(),
                                      static_cast<DWORD>(headers.size()), nullptr, 0))
                    return L"HttpSendRequest";
                s.bodyPending = false;
            }
            return nullptr;
        });
    }

    Result<void> WriteBody(const void* data, size_t size) override {
        const char* p = static_cast<const char*>(data);
        std::string block(p, p + size);
        return Run([block](Shared& s) -> const wchar_t* {
            size_t at = 0;
            while (at < block.size()) {
                DWORD written = 0;
                if (!InternetWriteFile(Req(s), block.data() + at, static_cast<DWORD>(block.size() - at),
                                       &written) ||
                    written == 0)
                    return L"InternetWriteFile";
                at += written;
            }
            return nullptr;
        });
    }

    Result<ResponseHead> EndRequest() override {
        Result<void> r = Run([](Shared& s) -> const wchar_t* {
            if (s.bodyPending) {
                s.bodyPending = false;
                if (!HttpEndRequestW(Req(s), nullptr, 0, 0)) return L"HttpEndRequest";
            }
            HINTERNET request = Req(s);
            DWORD status = 0, size = sizeof status;
            if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
                return L"HttpQueryInfo";
            s.status = static_cast<int>(status);
            s.reason = QueryText(request, HTTP_QUERY_STATUS_TEXT);
            // The head's size is asked first: a head past the bound is a
            // broken answer, never copied or read line by line.
            DWORD headBytes = 0;
            HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &headBytes, nullptr);
            if (headBytes / sizeof(wchar_t) > kMaxAnswerHead) {
                SetLastError(0);
                return L"answer head too large";
            }
            s.rawHeaders = QueryText(request, HTTP_QUERY_RAW_HEADERS_CRLF);
            // A connection closed before any answer came is reported by the
            // internet API as an answer without a status line (an HTTP/0.9
            // body): that is a broken connection, not an empty answer.
            if (s.rawHeaders.rfind(L"HTTP/", 0) != 0) return L"no answer from the server";
            return nullptr;
        });
        if (!r) return r.error();
        ResponseHead head;
        std::lock_guard<std::mutex> lock(s_->mutex);
        head.status = s_->status;
        head.reason = s_->reason;
        // The raw head: the status line, then one header a line.
        const std::wstring& raw = s_->rawHeaders;
        size_t pos = raw.find(L"\r\n");
        while (pos != std::wstring::npos) {
            pos += 2;
            size_t end = raw.find(L"\r\n", pos);
            std::wstring line = raw.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
            pos = end;
            size_t colon = line.find(L':');
            if (line.empty() || colon == std::wstring::npos) continue;
            std::wstring name = line.substr(0, colon), value = line.substr(colon + 1);
            size_t first = value.find_first_not_of(L" \t");
            value = first == std::wstring::npos ? std::wstring() : value.substr(first);
            head.headers.emplace_back(name, value);
        }
        // How the body ends: an answer whose length is unclear is broken,
        // never read to a guessed end.
        Result<Framing> framing = ReadFraming(head.headers);
        if (!framing) return framing.error();
        head.contentLength = framing.value().contentLength;
        s_->contentLength = head.contentLength;
        s_->chunked = framing.value().chunked;
        s_->keepAlive = true;
        for (const Header& h : head.headers)
            if (SameName(h.first, L"Connection") && h.second.find(L"close") != std::wstring::npos) s_->keepAlive = false;
        s_->received = 0;
        return head;
    }

    Result<size_t> ReadBody(void* buffer, size_t size) override {
        DWORD want = static_cast<DWORD>(size < kReadBlock ? size : kReadBlock);
        // A block read ahead while the caller handled the previous one, or
        // a read now.
        Result<void> r = readingAhead_ ? Wait() : Run(ReadJob(want));
        readingAhead_ = false;
        if (!r) return r.error();
        std::lock_guard<std::mutex> lock(s_->mutex);
        size_t count = s_->readCount < size ? s_->readCount : size;
        std::memcpy(buffer, s_->readBuffer.data(), count);
        // While the answer streams within its announced length, the next
        // block is read while the caller handles this one.
        int64_t left = s_->contentLength - s_->received;
        if (s_->streaming && s_->contentLength >= 0 && left > 0 && !s_->aborted) {
            s_->job = ReadJob(static_cast<DWORD>(left < static_cast<int64_t>(kReadBlock) ? left : kReadBlock));
            s_->busy = true;
            s_->wake.notify_all();
            readingAhead_ = true;
        }
        return count;
    }

    void Abort() override {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->aborted) return;
        s_->aborted = true;
        s_->wake.notify_all();
        if (HINTERNET request = s_->request) {
            s_->request = nullptr;
            std::thread([request] { InternetCloseHandle(request); }).detach();
        }
    }

    bool Alive() override {
        std::lock_guard<std::mutex> lock(s_->mutex);
        return !s_->aborted;
    }

private:
    static constexpr size_t kReadBlock = 1 << 20;
    // The internet API's own read buffer: an answer that fills it is streaming.
    static constexpr DWORD kStreamingBuffer = 8192;

    struct Shared {
        std::shared_ptr<Session> session;
        HINTERNET connect = nullptr;
        HINTERNET request = nullptr;  // set and closed by the I/O thread, or taken by Abort
        std::mutex mutex;
        std::condition_variable wake;
        std::function<const wchar_t*(Shared&)> job;  // the call to make; answers the failing call's name
        DWORD_PTR id = 0;  // the requests' context for the status callback
        bool busy = false, quit = false, aborted = false;
        bool connected = false;  // the request under way has reached the server
        bool connectionClosed = false;  // the status callback saw the connection close
        bool keepAlive = true;          // the answer did not ask for the connection's close
        const wchar_t* failed = nullptr;
        DWORD error = 0;
        // What the calls answer.
        bool bodyPending = false;
        int status = 0;
        std::wstring reason, rawHeaders;
        std::vector<char> readBuffer = std::vector<char>(kReadBlock);
        int64_t contentLength = -1, received = 0;  // of the current answer
        bool chunked = false;
        bool streaming = false;
        DWORD readCount = 0;
    };

    // Connections by the context their requests carry, for the status
    // callback, which may come after a connection is gone.
    static std::mutex& RegistryMutex() {
        static std::mutex m;
        return m;
    }
    static std::map<DWORD_PTR, std::weak_ptr<Shared>>& Registry() {
        static std::map<DWORD_PTR, std::weak_ptr<Shared>> r;
        return r;
    }
    static DWORD_PTR Register(const std::shared_ptr<Shared>& s) {
        static DWORD_PTR next = 0;
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[++next] = s;
        return next;
    }
    static void Forget(DWORD_PTR id) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(id);
    }
    static std::shared_ptr<Shared> Find(DWORD_PTR id) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto it = Registry().find(id);
        return it == Registry().end() ? nullptr : it->second.lock();
    }

    static HINTERNET Req(Shared& s) {
        std::lock_guard<std::mutex> lock(s.mutex);
        return s.request;
    }

    static void IoLoop(std::shared_ptr<Shared> s) {
        std::unique_lock<std::mutex> lock(s->mutex);
        for (;;) {
            s->wake.wait(lock, [&] { return s->quit || s->job; });
            if (s->job) {
                auto job = std::move(s->job);
                s->job = nullptr;
                lock.unlock();
                const wchar_t* failed = job(*s);
                DWORD error = failed ? GetLastError() : 0;
                lock.lock();
                s->failed = failed;
                s->error = error;
                s->busy = false;
                s->wake.notify_all();
                continue;
            }
            break;
        }
        HINTERNET request = s->request, connect = s->connect;
        s->request = s->connect = nullptr;
        lock.unlock();
        if (request) InternetCloseHandle(request);
        if (connect) InternetCloseHandle(connect);
    }

    // Waits for the next bytes of the body, then takes what has come. When a
    // whole buffer's worth of the internet API has come, the answer is
    // streaming: then, within its announced length, a full block is taken
    // at once rather than one small piece per call.
    static std::function<const wchar_t*(Shared&)> ReadJob(DWORD want) {
        return [want](Shared& s) -> const wchar_t* {
            HINTERNET request = Req(s);
            s.readCount = 0;
            s.streaming = false;
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request, &available, 0, 0)) return L"InternetQueryDataAvailable";
            if (available == 0) return s.chunked ? ChunkedEnd(s, request) : nullptr;
            DWORD take = available < want ? available : want;
            if (available >= kStreamingBuffer && s.contentLength >= 0) {
                s.streaming = true;
                int64_t left = s.contentLength - s.received;
                if (left > static_cast<int64_t>(take))
                    take = left < static_cast<int64_t>(want) ? static_cast<DWORD>(left) : want;
            }
            DWORD read = 0;
            if (!InternetReadFile(request, s.readBuffer.data(), take, &read)) return L"InternetReadFile";
            s.readCount = read;
            s.received += read;
            return nullptr;
        };
    }

    // The internet API reports the end of a chunked body the same way
    // whether its last chunk came or the connection broke in the middle of
    // it. A whole answer on a kept connection has handed that connection
    // back for the next request; a cut one still holds it, and closing the
    // request then closes the connection. So the request is closed here (it
    // is finished either way) and the status callback tells which it was.
    // FIXME: an answer that asked for the connection's close cannot be told
    // apart this way, and is taken as whole.
    static const wchar_t* ChunkedEnd(Shared& s, HINTERNET request) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.request != request) return nullptr;
            s.request = nullptr;
            s.connectionClosed = false;
        }
        InternetCloseHandle(request);
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.keepAlive && s.connectionClosed) {
            SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
            return L"chunked answer cut before its last chunk";
        }
        return nullptr;
    }

    // Runs one call on the I/O thread and waits for it, or for Abort.
    Result<void> Run(std::function<const wchar_t*(Shared&)> job) {
        {
            std::lock_guard<std::mutex> lock(s_->mutex);
            if (s_->aborted) return Error{kAborted, 0, L"aborted"};
            s_->job = std::move(job);
            s_->busy = true;
            s_->wake.notify_all();
        }
        return Wait();
    }

    // Sends a request's head: the internet API under Wine does not keep the
    // connect timeout against a host that never answers, so the caller
    // waits at most that long for the request to reach the server; a
    // connect still pending then is left to end on its own (Abort).
    Result<void> RunConnecting(std::function<const wchar_t*(Shared&)> job) {
        {
            std::unique_lock<std::mutex> lock(s_->mutex);
            if (s_->aborted) return Error{kAborted, 0, L"aborted"};
            s_->connected = false;
            s_->job = std::move(job);
            s_->busy = true;
            s_->wake.notify_all();
            bool reached = s_->wake.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs), [&] {
                return !s_->busy || s_->aborted || s_->connected;
            });
            if (!reached) {
                lock.unlock();
                Abort();
                return Error{kBroken, ERROR_INTERNET_TIMEOUT, L"no connection within the connect timeout"};
            }
        }
        return Wait();
    }

    // Waits for the call under way on the I/O thread, or for Abort.
    Result<void> Wait() {
        std::unique_lock<std::mutex> lock(s_->mutex);
        s_->wake.wait(lock, [&] { return !s_->busy || s_->aborted; });
        if (s_->aborted) return Error{kAborted, 0, L"aborted"};
        if (s_->failed) return Error{kBroken, s_->error, s_->failed};
        return {};
    }

    std::shared_ptr<Shared> s_;
    bool readingAhead_ = false;
};

class WinInetTransport : public Transport {
public:
    WinInetTransport() : session_(std::make_shared<Session>()) {
        session_->handle = InternetOpenW(L"BVStartup", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (!session_->handle)
            openError_ = GetLastError();
        else
            InternetSetStatusCallbackW(session_->handle, &WinInetConnection::Status);
    }

    Result<std::unique_ptr<Connection>> Open(const std::wstring& host, uint16_t port) override {
        if (!session_->handle) return Error{kConnectError, openError_, L"InternetOpen"};
        HINTERNET connect = InternetConnectW(session_->handle, host.c_str(), port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
        if (!connect) return Error{kConnectError, GetLastError(), L"InternetConnect"};
        return std::unique_ptr<Connection>(std::make_unique<WinInetConnection>(session_, connect));
    }

private:
    std::shared_ptr<Session> session_;
    DWORD openError_ = 0;
};

}  // namespace

std::unique_ptr<Transport> MakeSystemTransport() { return std::make_unique<WinInetTransport>(); }

}  // namespace bv::http
