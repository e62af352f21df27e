// The plain HTTP GET over WinHTTP and the TCP check over Winsock.
//
// WinHTTP rather than WinInet: its sessions can be opened without any proxy,
// it has no shared cache or cookie jar with the transfer client's WinInet
// connection, its connect and receive timeouts (including the wait for the
// answer's headers) are honoured per request, and redirects and keep-alive
// can be switched off per request. It cannot be told to use IPv4 only, so the
// host name is resolved here (IPv4 only) and WinHTTP connects to that address
// while the request's "Host" line carries the name.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/os.h"

namespace bv::net {
namespace {

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
        if (h_) WinHttpCloseHandle(h_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_;
};

std::wstring HttpErrorText(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT: return L"The operation timed out";
        case ERROR_WINHTTP_CANNOT_CONNECT: return L"Could not connect to the server";
        case ERROR_WINHTTP_CONNECTION_ERROR: return L"The connection to the server was reset";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return L"The server's answer could not be read";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return L"The server name could not be resolved";
        default: break;
    }
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST)
        return L"HTTP client error " + std::to_wstring(code);
    return os::SystemErrorText(code);
}

// The failed WinHTTP call's error, with the text the callers log.
Error LastHttpError() {
    DWORD code = GetLastError();
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
    WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    buffer.resize(bytes / sizeof(wchar_t));
    text = buffer;
    return true;
}

}  // namespace

Result<HttpGetAnswer> HttpGet(const HttpGetRequest& request, const BodySink& sink) {
    HttpGetAnswer result;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(request.url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP ||
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

    InternetHandle session(WinHttpOpen(request.userAgent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return LastHttpError();
    }
    int connectMs = static_cast<int>(request.connectTimeoutMs);
    int readMs = static_cast<int>(request.readTimeoutMs);
    WinHttpSetTimeouts(session.get(), 0, connectMs, readMs, readMs);
    InternetHandle connection(WinHttpConnect(session.get(), address.c_str(), port, 0));
    InternetHandle get(connection ? WinHttpOpenRequest(connection.get(), L"GET", path.c_str(),
                                                        nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                  : nullptr);
    if (!get) {
        return LastHttpError();
    }
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(get.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    DWORD waitMs = request.readTimeoutMs;
    WinHttpSetOption(get.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &waitMs, sizeof waitMs);

    std::wstring headers = L"Host: " + host;
    if (port != INTERNET_DEFAULT_HTTP_PORT) headers += L":" + std::to_wstring(port);
    for (const std::wstring& line : request.headers) headers += L"\r\n" + line;
    if (!WinHttpAddRequestHeaders(get.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        return LastHttpError();
    }

    if (!WinHttpSendRequest(get.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(get.get(), nullptr)) {
        return LastHttpError();
    }

    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(get.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return LastHttpError();
    }
    result.status = static_cast<int>(status);
    QueryText(get.get(), WINHTTP_QUERY_CONTENT_TYPE, result.contentType);
    if (status < 200 || status > 299) {
        std::wstring reason;
        QueryText(get.get(), WINHTTP_QUERY_STATUS_TEXT, reason);
        return Error{kNetStatus, status, L"HTTP/1.1 " + std::to_wstring(status) + (reason.empty() ? L"" : L" " + reason)};
    }

    std::wstring lengthText;
    bool announced = QueryText(get.get(), WINHTTP_QUERY_CONTENT_LENGTH, lengthText);
    uint64_t expected = announced ? std::wcstoull(lengthText.c_str(), nullptr, 10) : 0;
    uint64_t received = 0;
    // One buffer for the whole body, allocated once: each read takes what has
    // arrived (up to 256 KB), so every arrival still reaches the sink at once,
    // and nothing is reallocated or re-zeroed per block.
    constexpr DWORD kReadBlock = 256 * 1024;
    std::unique_ptr<char[]> buffer(new char[kReadBlock]);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(get.get(), &available)) {
            return LastHttpError();
        }
        if (available == 0) break;
        DWORD want = available < kReadBlock ? available : kReadBlock;
        DWORD got = 0;
        if (!WinHttpReadData(get.get(), buffer.get(), want, &got)) {
            return LastHttpError();
        }
        if (got == 0) break;
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
