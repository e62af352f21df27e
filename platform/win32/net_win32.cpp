// The plain HTTP GET over WinInet and the TCP check over Winsock.
//
// WinInet for the GET because its reads are fast where WinHTTP's are not:
// under Wine a WinHTTP read returns at most 8 KB however large its buffer,
// while a WinInet read fills a large buffer in one call. The session is made
// to behave as the GET promises: its own InternetOpen handle with no proxy
// (INTERNET_OPEN_TYPE_DIRECT), and per request no cache (nothing written to
// it, never answered from it), no cookies, no authentication and no dialogs,
// redirects not followed, "Connection: close" and every handle closed before
// the call returns, so nothing of it is left for the transfer client's own
// WinInet session to meet. The connect and receive timeouts (the receive
// timeout also covers the wait for the answer's headers) are set on the
// session and on the request; the connect timeout is kept by the caller's
// own wait (see GetCall), as the one exception to the closing above: a
// connect given up on is left to end on its own, and its handles are closed
// when it does. WinInet cannot be told to use IPv4 only, so
// the host name is resolved here (IPv4 only) and WinInet connects to that
// address while the request's "Host" line carries the name.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/os.h"

namespace bv::net {
namespace {

// How long the sending thread and WinInet may take to begin connecting.
constexpr DWORD kConnectStartBoundMs = 30000;

// Winsock for the length of one call.
class WinsockScope {
public:
    WinsockScope() {
        error_ = static_cast<uint32_t>(WSAStartup(MAKEWORD(2, 2), &data_));
        ok_ = error_ == 0;
    }
    ~WinsockScope() {
        if (ok_) WSACleanup();
    }
    bool ok() const { return ok_; }
    uint32_t error() const { return error_; }

private:
    WSADATA data_{};
    bool ok_ = false;
    uint32_t error_ = 0;
};

class InternetHandle {
public:
    explicit InternetHandle(HINTERNET h = nullptr) : h_(h) {}
    ~InternetHandle() {
        if (h_) InternetCloseHandle(h_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return h_; }
    void reset(HINTERNET h) {
        if (h_) InternetCloseHandle(h_);
        h_ = h;
    }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_;
};

// WinInet's error numbers are those WinHTTP uses for the same failures
// (12002, 12007, 12029, 12030, 12152), and they keep the texts the callers
// have always logged; a reset (12031) reads as an aborted connection does.
std::wstring HttpErrorText(DWORD code) {
    switch (code) {
        case ERROR_INTERNET_TIMEOUT:
        case WSAETIMEDOUT: return L"The operation timed out";
        case ERROR_INTERNET_CANNOT_CONNECT: return L"Could not connect to the server";
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET: return L"The connection to the server was reset";
        case ERROR_HTTP_INVALID_SERVER_RESPONSE: return L"The server's answer could not be read";
        case ERROR_INTERNET_NAME_NOT_RESOLVED: return L"The server name could not be resolved";
        default: break;
    }
    if (code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST)
        return L"HTTP client error " + std::to_wstring(code);
    return os::SystemErrorText(code);
}

// The failed WinInet call's error, with the text the callers log.
Error LastHttpError() {
    DWORD code = GetLastError();
    return Error{kNetSystem, code, HttpErrorText(code)};
}

// A failed wait for the server. Under Wine, a wait that outlasts the receive
// timeout fails as a dropped connection; one that waited out the whole
// timeout is told as the timeout it is.
Error WaitError(std::chrono::steady_clock::duration waited, DWORD readMs) {
    DWORD code = GetLastError();
    bool dropped = code == ERROR_INTERNET_CONNECTION_ABORTED || code == ERROR_INTERNET_CONNECTION_RESET;
    if (dropped && readMs > 0 && waited >= std::chrono::milliseconds(readMs - readMs / 10))
        code = ERROR_INTERNET_TIMEOUT;
    return Error{kNetSystem, code, HttpErrorText(code)};
}

// The first IPv4 address of `host` in dotted form.
// The name lookup runs on a thread of its own, so a name server that does not
// answer costs at most `timeoutMs`: the caller's timeout covers the lookup too.
// A lookup still running then is left to finish on its own.
Result<void> ResolveIPv4(const std::wstring& host, std::wstring& address, in_addr* raw, uint32_t timeoutMs) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false, found = false;
        uint32_t error = 0;  // the lookup's error code when nothing was found
        in_addr address{};
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        WSADATA data;
        int startError = WSAStartup(MAKEWORD(2, 2), &data);
        bool started = startError == 0;
        ADDRINFOW hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        ADDRINFOW* found = nullptr;
        int lookupError = started ? GetAddrInfoW(host.c_str(), nullptr, &hints, &found) : startError;
        bool ok = lookupError == 0 && found;
        in_addr a{};
        if (ok) a = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        if (found) FreeAddrInfoW(found);
        if (started) WSACleanup();
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->done = true;
        lookup->found = ok;
        lookup->error = static_cast<uint32_t>(lookupError);
        lookup->address = a;
        lookup->cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    auto done = [&] { return lookup->done; };
    if (timeoutMs == 0) lookup->cv.wait(lock, done);
    if (!lookup->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
        return Error{kNetHostNotFound, WSAETIMEDOUT, L"Host not found: " + host + L" (no answer in time)"};
    if (!lookup->found) return Error{kNetHostNotFound, lookup->error, L"Host not found: " + host};
    in_addr a = lookup->address;
    if (raw) *raw = a;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&a);
    address = std::to_wstring(b[0]) + L"." + std::to_wstring(b[1]) + L"." + std::to_wstring(b[2]) +
              L"." + std::to_wstring(b[3]);
    return {};
}

bool QueryText(HINTERNET request, DWORD what, std::wstring& text) {
    DWORD bytes = 0;
    HttpQueryInfoW(request, what, nullptr, &bytes, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!HttpQueryInfoW(request, what, buffer.data(), &bytes, nullptr)) return false;
    buffer.resize(bytes / sizeof(wchar_t));
    text = buffer;
    return true;
}

// The size of the next read of the body, following the link.
// A WinInet read returns only when its buffer is full or the body has ended,
// and the caller (the wizard's download on the window's thread) does nothing
// else meanwhile; so a read must be large on a fast link, where large reads
// are what makes the transfer fast, and small on a slow one, where the
// window would otherwise freeze. At the smallest size a read takes only what
// has arrived, so even a trickle reaches the sink as it comes.
class ReadPace {
public:
    static constexpr DWORD kSmallest = 8 * 1024;
    static constexpr DWORD kLargest = 1024 * 1024;

    DWORD size() const { return size_; }
    // Whether the next read is to take only what has arrived.
    bool arrivedOnly() const { return size_ == kSmallest; }

    // One read asked for `wanted` bytes, got `got` and took `took`: double
    // the size when a full read was quick (the doubled one then stays under
    // about 50 ms), halve it when a read was slow.
    void Record(DWORD wanted, DWORD got, std::chrono::steady_clock::duration took) {
        if (took > std::chrono::milliseconds(200))
            size_ = std::max(kSmallest, size_ / 2);
        else if (got == wanted && wanted == size_ && took < std::chrono::milliseconds(25))
            size_ = std::min(kLargest, size_ * 2);
    }

private:
    DWORD size_ = kSmallest;
};

// The handles of one GET and the progress of its request, shared with the
// thread that sends it. WinInet under Wine does not honour the connect
// timeout, so the request is sent on a thread of its own while the caller
// waits at most the connect timeout for the connection; a connect still
// pending then is left to end on its own, and whichever side lets go last
// closes the handles.
struct GetCall {
    std::mutex mutex;
    std::condition_variable cv;
    bool connecting = false;  // WinInet has begun to connect
    bool connected = false;   // the TCP connection is up
    bool sent = false;        // HttpSendRequest has returned
    bool sendOk = false;
    DWORD sendError = 0;
    std::chrono::steady_clock::time_point connectingAt, connectedAt;
    // Declared last, closed first, while the members above still exist for
    // the status callback that a close can raise.
    InternetHandle session, connection, request;

    // Once the sending thread is done with the handles, the caller closes
    // them on its way out, so none outlives the call.
    struct Closer {
        GetCall* call = nullptr;
        ~Closer() {
            if (!call) return;
            call->request.reset(nullptr);
            call->connection.reset(nullptr);
            call->session.reset(nullptr);
        }
    };

    static void CALLBACK Status(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
        if (context == 0) return;
        if (status != INTERNET_STATUS_CONNECTING_TO_SERVER && status != INTERNET_STATUS_CONNECTED_TO_SERVER) return;
        GetCall* call = reinterpret_cast<GetCall*>(context);
        std::lock_guard<std::mutex> lock(call->mutex);
        auto now = std::chrono::steady_clock::now();
        if (status == INTERNET_STATUS_CONNECTING_TO_SERVER) {
            call->connecting = true;
            call->connectingAt = now;
        } else {
            call->connected = true;
            call->connectedAt = now;
        }
        call->cv.notify_all();
    }
};

}  // namespace

Result<HttpGetAnswer> HttpGet(const HttpGetRequest& request, const BodySink& sink) {
    HttpGetAnswer result;
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(request.url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP ||
        parts.dwHostNameLength == 0) {
        return Error{kNetBadUrl, 0, L"Not a plain HTTP URL: " + request.url};
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";
    INTERNET_PORT port = parts.nPort;

    std::wstring address;
    {
        WinsockScope winsock;
        if (!winsock.ok()) return Error{kNetSystem, winsock.error(), L"Winsock is not available"};
        Result<void> resolved = ResolveIPv4(host, address, nullptr, request.connectTimeoutMs);
        if (!resolved) return resolved.error();
    }

    auto call = std::make_shared<GetCall>();
    call->session.reset(InternetOpenW(request.userAgent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!call->session) {
        return LastHttpError();
    }
    DWORD connectMs = request.connectTimeoutMs, readMs = request.readTimeoutMs;
    auto setTimeouts = [&](HINTERNET handle) {
        InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
        InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &readMs, sizeof readMs);
        InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &readMs, sizeof readMs);
    };
    setTimeouts(call->session.get());
    InternetSetStatusCallbackW(call->session.get(), &GetCall::Status);
    call->connection.reset(InternetConnectW(call->session.get(), address.c_str(), port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
    constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                             INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_AUTO_REDIRECT;
    // The call's address as the request's context: WinInet reports the
    // request's progress only for a context other than zero.
    if (call->connection)
        call->request.reset(HttpOpenRequestW(call->connection.get(), L"GET", path.c_str(), L"HTTP/1.1", nullptr,
                                             nullptr, kFlags, reinterpret_cast<DWORD_PTR>(call.get())));
    if (!call->request) {
        return LastHttpError();
    }
    HINTERNET get = call->request.get();
    setTimeouts(get);

    std::wstring headers = L"Host: " + host;
    if (port != INTERNET_DEFAULT_HTTP_PORT) headers += L":" + std::to_wstring(port);
    headers += L"\r\nConnection: close";
    for (const std::wstring& line : request.headers) headers += L"\r\n" + line;
    if (!HttpAddRequestHeadersW(get, headers.c_str(), static_cast<DWORD>(headers.size()),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
        return LastHttpError();
    }

    GetCall::Closer closer;
    std::thread([call] {
        BOOL ok = HttpSendRequestW(call->request.get(), nullptr, 0, nullptr, 0);
        DWORD error = ok ? 0 : GetLastError();
        std::lock_guard<std::mutex> lock(call->mutex);
        call->sent = true;
        call->sendOk = ok != FALSE;
        call->sendError = error;
        call->cv.notify_all();
    }).detach();
    {
        std::unique_lock<std::mutex> lock(call->mutex);
        auto connectedOrSent = [&] { return call->connected || call->sent; };
        if (connectMs == 0) {
            call->cv.wait(lock, connectedOrSent);
        } else {
            // The connect timeout is the peer's to meet, so it runs from the
            // moment WinInet begins to connect: the sending thread's start
            // and WinInet's own set-up come before that, and on a machine
            // busy with other work they alone can take seconds. They get a
            // bound of their own, so a send that never starts still ends.
            auto startBound = std::chrono::milliseconds(std::max<DWORD>(connectMs, kConnectStartBoundMs));
            auto started = [&] { return call->connecting || connectedOrSent(); };
            bool begun = call->cv.wait_for(lock, startBound, started);
            if (!begun || !call->cv.wait_until(lock, call->connectingAt + std::chrono::milliseconds(connectMs),
                                               connectedOrSent)) {
                if (!connectedOrSent())
                    return Error{kNetSystem, ERROR_INTERNET_TIMEOUT, HttpErrorText(ERROR_INTERNET_TIMEOUT)};
            }
        }
        call->cv.wait(lock, [&] { return call->sent; });
        closer.call = call.get();
        if (!call->sendOk) {
            auto waited = call->connected ? std::chrono::steady_clock::now() - call->connectedAt
                                          : std::chrono::steady_clock::duration::zero();
            SetLastError(call->sendError);
            return WaitError(waited, readMs);
        }
    }
    // The request's progress reports are not needed for the body.
    InternetSetStatusCallbackW(get, nullptr);

    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoW(get, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        return LastHttpError();
    }
    result.status = static_cast<int>(status);
    QueryText(get, HTTP_QUERY_CONTENT_TYPE, result.contentType);
    if (status < 200 || status > 299) {
        std::wstring reason;
        QueryText(get, HTTP_QUERY_STATUS_TEXT, reason);
        return Error{kNetStatus, status, L"HTTP/1.1 " + std::to_wstring(status) + (reason.empty() ? L"" : L" " + reason)};
    }

    std::wstring lengthText;
    bool announced = QueryText(get, HTTP_QUERY_CONTENT_LENGTH, lengthText);
    uint64_t expected = announced ? std::wcstoull(lengthText.c_str(), nullptr, 10) : 0;
    uint64_t received = 0;
    // One buffer of the largest read size for the whole body, allocated once
    // and never re-zeroed; the pace decides how much of it each read fills.
    std::unique_ptr<char[]> buffer(new char[ReadPace::kLargest]);
    ReadPace pace;
    for (;;) {
        auto began = std::chrono::steady_clock::now();
        DWORD want = pace.size();
        if (pace.arrivedOnly()) {
            // Waits for the first bytes (or the end), then takes only those.
            DWORD available = 0;
            if (!InternetQueryDataAvailable(get, &available, 0, 0)) {
                return WaitError(std::chrono::steady_clock::now() - began, readMs);
            }
            if (available == 0) break;
            want = std::min(want, available);
        }
        DWORD got = 0;
        if (!InternetReadFile(get, buffer.get(), want, &got)) {
            return LastHttpError();
        }
        if (got == 0) break;
        pace.Record(want, got, std::chrono::steady_clock::now() - began);
        received += got;
        if (!sink(std::string_view(buffer.get(), got))) {
            return Error{kNetNotStored, 0, L"The received data could not be stored"};
        }
    }
    if (announced && received < expected) {
        return Error{kNetShortBody, 0, L"Connection closed after " + std::to_wstring(received) + L" of " +
                                           std::to_wstring(expected) + L" bytes"};
    }
    return result;
}

Result<void> TcpConnectCheck(const std::wstring& host, uint16_t port, uint32_t timeoutMs) {
    // One deadline for the name lookup and the connect together: what the
    // lookup used is taken off the connect's wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    WinsockScope winsock;
    if (!winsock.ok()) return Error{kNetSystem, winsock.error(), L"Winsock is not available"};
    std::wstring address;
    in_addr raw{};
    Result<void> resolved = ResolveIPv4(host, address, &raw, timeoutMs);
    if (!resolved) return resolved.error();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    uint32_t waitMs = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        DWORD code = WSAGetLastError();
        return Error{kNetSystem, code, HttpErrorText(code)};
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = raw;
    int error = 0;
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval wait{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
            int ready = select(0, nullptr, &writable, &failed, &wait);
            if (ready > 0 && FD_ISSET(s, &writable)) {
                int length = sizeof error;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
                    error = WSAGetLastError();
            } else if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready < 0) {
                error = WSAGetLastError();
            } else {
                // Only the failure set is marked: the connection was refused.
                int length = sizeof error;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error == 0)
                    error = WSAECONNREFUSED;
            }
        }
    }
    closesocket(s);
    if (error != 0) return Error{kNetSystem, static_cast<uint32_t>(error), HttpErrorText(static_cast<DWORD>(error))};
    return {};
}

}  // namespace bv::net
