// The plain HTTP GET and the TCP check, both over Winsock.
//
// The GET speaks HTTP/1.1 on a socket of its own rather than through the
// system's HTTP client, because it must see the answer's bytes as they are:
// the system's client takes a body that runs past its Content-Length, or a
// chunked body cut before its last chunk on a closing connection, for a
// whole one, and a download must never be saved from such an answer. It
// sends one request with "Connection: close", never a proxy, a cache, a
// cookie or credentials, and follows no redirect. The host name is resolved
// here (IPv4 only) within the connect timeout; the connect, each send and
// each read (the wait for the answer's head too) have their own bounds.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/http_transport.h"
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

// A socket closed when the call ends.
class Socket {
public:
    Socket() : s_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    ~Socket() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return s_; }
    bool ok() const { return s_ != INVALID_SOCKET; }

private:
    SOCKET s_;
};

Error SocketError(int code) {
    DWORD shown = static_cast<DWORD>(code);
    if (code == WSAECONNREFUSED || code == WSAENETUNREACH || code == WSAEHOSTUNREACH)
        shown = ERROR_INTERNET_CANNOT_CONNECT;
    else if (code == WSAETIMEDOUT)
        shown = ERROR_INTERNET_TIMEOUT;
    else if (code == WSAECONNRESET || code == WSAECONNABORTED)
        shown = ERROR_INTERNET_CONNECTION_RESET;
    return Error{kNetSystem, shown, HttpErrorText(shown)};
}

// Waits until `s` can be read (or written) within `ms` (0: no bound).
// Answers 1 when ready, 0 on the timeout, -1 on an error (WSAGetLastError).
int WaitFor(SOCKET s, bool write, DWORD ms) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_ZERO(&failed);
    FD_SET(s, &set);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    int ready = select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, ms ? &wait : nullptr);
    if (ready > 0 && FD_ISSET(s, &failed) && !FD_ISSET(s, &set)) {
        int error = 0, length = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        WSASetLastError(error ? error : WSAECONNRESET);
        return -1;
    }
    return ready;
}

// One connection's reads, each bounded by the read timeout.
class Reader {
public:
    Reader(SOCKET s, DWORD readMs) : s_(s), readMs_(readMs), buffer_(new char[kBuffer]) {}

    // Reads what has arrived (at least one byte) into the buffer; 0 bytes
    // at the orderly end of the connection.
    Result<size_t> Read() {
        int ready = WaitFor(s_, false, readMs_);
        if (ready == 0) return Error{kNetSystem, ERROR_INTERNET_TIMEOUT, HttpErrorText(ERROR_INTERNET_TIMEOUT)};
        if (ready < 0) return SocketError(WSAGetLastError());
        int got = recv(s_, buffer_.get(), static_cast<int>(kBuffer), 0);
        if (got < 0) return SocketError(WSAGetLastError());
        return static_cast<size_t>(got);
    }
    const char* data() const { return buffer_.get(); }

private:
    static constexpr size_t kBuffer = 256 * 1024;
    SOCKET s_;
    DWORD readMs_;
    std::unique_ptr<char[]> buffer_;
};

bool SameNameAscii(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (towlower(a[i]) != towlower(b[i])) return false;
    return i == a.size() && !b[i];
}

std::wstring Latin1(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) out.push_back(static_cast<wchar_t>(c));
    return out;
}

// The status line and header lines of an answer's head (without the blank
// line that ends it).
Result<HttpGetAnswer> ParseHead(std::string_view head, std::wstring& reason) {
    HttpGetAnswer answer;
    size_t lineEnd = head.find("\r\n");
    std::string_view status = head.substr(0, lineEnd);
    // "HTTP/1.x NNN reason"
    if (status.size() < 12 || status.substr(0, 5) != "HTTP/" || status[8] != ' ')
        return Error{kNetBroken, ERROR_HTTP_INVALID_SERVER_RESPONSE, HttpErrorText(ERROR_HTTP_INVALID_SERVER_RESPONSE)};
    int code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (status[i] < '0' || status[i] > '9')
            return Error{kNetBroken, ERROR_HTTP_INVALID_SERVER_RESPONSE,
                         HttpErrorText(ERROR_HTTP_INVALID_SERVER_RESPONSE)};
        code = code * 10 + (status[i] - '0');
    }
    answer.status = code;
    reason = status.size() > 13 ? Latin1(status.substr(13)) : std::wstring();
    size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos) end = head.size();
        std::string_view line = head.substr(at, end - at);
        at = end + 2;
        size_t colon = line.find(':');
        if (line.empty() || colon == std::string_view::npos) continue;
        std::wstring name = Latin1(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        answer.headers.emplace_back(name, Latin1(value));
    }
    answer.contentType = answer.Header(L"Content-Type");
    return answer;
}

// Decodes a chunked body as it arrives, handing on the data of each chunk.
class ChunkedBody {
public:
    // Takes the next bytes of the connection; false on a malformed coding.
    bool Take(std::string_view bytes, const std::function<bool(std::string_view)>& deliver, bool& refused) {
        size_t at = 0;
        while (at < bytes.size() && !done_) {
            if (inData_ > 0) {
                size_t n = std::min<uint64_t>(inData_, bytes.size() - at);
                if (!deliver(bytes.substr(at, n))) {
                    refused = true;
                    return false;
                }
                inData_ -= n;
                at += n;
                if (inData_ == 0) afterData_ = true;
                continue;
            }
            line_.push_back(bytes[at++]);
            if (line_.size() > 4096) return false;
            if (line_.size() < 2 || line_.compare(line_.size() - 2, 2, "\r\n") != 0) continue;
            std::string line = line_.substr(0, line_.size() - 2);
            line_.clear();
            if (afterData_) {
                if (!line.empty()) return false;  // the CRLF after a chunk's data
                afterData_ = false;
            } else if (inTrailer_) {
                if (line.empty()) done_ = true;
            } else {
                uint64_t size = 0;
                size_t i = 0;
                for (; i < line.size(); ++i) {
                    char c = line[i];
                    int digit = c >= '0' && c <= '9' ? c - '0'
                                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                    if (digit < 0) break;
                    if (i >= 15) return false;
                    size = size * 16 + static_cast<uint64_t>(digit);
                }
                if (i == 0 || (i < line.size() && line[i] != ';' && line[i] != ' ' && line[i] != '\t')) return false;
                if (size == 0)
                    inTrailer_ = true;
                else
                    inData_ = size;
            }
        }
        // Bytes past the last chunk are no part of this answer.
        return at == bytes.size();
    }
    bool done() const { return done_; }

private:
    std::string line_;
    uint64_t inData_ = 0;
    bool afterData_ = false, inTrailer_ = false, done_ = false;
};

}  // namespace

std::wstring HttpGetAnswer::Header(const std::wstring& name) const {
    for (const auto& [n, v] : headers)
        if (n.size() == name.size() && SameNameAscii(n, name.c_str())) return v;
    return {};
}

Result<HttpGetAnswer> HttpGet(const HttpGetRequest& request, const BodySink& sink, const HeadSink& onHead) {
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
    DWORD connectMs = request.connectTimeoutMs, readMs = request.readTimeoutMs;

    WinsockScope winsock;
    if (!winsock.ok()) return Error{kNetSystem, winsock.error(), L"Winsock is not available"};
    std::wstring address;
    in_addr raw{};
    Result<void> resolved = ResolveIPv4(host, address, &raw, connectMs);
    if (!resolved) return resolved.error();

    Socket s;
    if (!s.ok()) return SocketError(WSAGetLastError());
    u_long nonBlocking = 1;
    ioctlsocket(s.get(), FIONBIO, &nonBlocking);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = raw;
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return SocketError(error);
        int ready = WaitFor(s.get(), true, connectMs);
        if (ready == 0) return SocketError(WSAETIMEDOUT);
        if (ready < 0) return SocketError(WSAGetLastError());
        int length = sizeof error;
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            error = WSAGetLastError();
        if (error != 0) return SocketError(error);
    }

    std::wstring head = L"GET " + path + L" HTTP/1.1\r\nHost: " + host;
    if (port != INTERNET_DEFAULT_HTTP_PORT) head += L":" + std::to_wstring(port);
    head += L"\r\nUser-Agent: " + request.userAgent + L"\r\nConnection: close";
    for (const std::wstring& line : request.headers) head += L"\r\n" + line;
    head += L"\r\n\r\n";
    std::string out = os::ToUtf8(head);
    for (size_t sent = 0; sent < out.size();) {
        int ready = WaitFor(s.get(), true, readMs);
        if (ready == 0) return SocketError(WSAETIMEDOUT);
        if (ready < 0) return SocketError(WSAGetLastError());
        int n = send(s.get(), out.data() + sent, static_cast<int>(out.size() - sent), 0);
        if (n < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
            return SocketError(WSAGetLastError());
        }
        sent += static_cast<size_t>(n);
    }

    // The head, up to its blank line; what follows it is the body's start.
    Reader reader(s.get(), readMs);
    std::string received;
    size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        if (received.size() > http::kMaxAnswerHead)
            return Error{kNetBroken, 0, L"The server's answer head is too large"};
        Result<size_t> got = reader.Read();
        if (!got) return got.error();
        if (got.value() == 0) {
            if (received.empty()) return SocketError(WSAECONNRESET);
            return Error{kNetBroken, ERROR_HTTP_INVALID_SERVER_RESPONSE,
                         HttpErrorText(ERROR_HTTP_INVALID_SERVER_RESPONSE)};
        }
        received.append(reader.data(), got.value());
    }
    std::wstring reason;
    Result<HttpGetAnswer> parsed = ParseHead(std::string_view(received).substr(0, headEnd), reason);
    if (!parsed) return parsed.error();
    HttpGetAnswer result = std::move(parsed.value());
    if (result.status < 200 || result.status > 299)
        return Error{kNetStatus, static_cast<uint32_t>(result.status),
                     L"HTTP/1.1 " + std::to_wstring(result.status) + (reason.empty() ? L"" : L" " + reason)};
    Result<http::Framing> framing = http::ReadFraming(result.headers);
    if (!framing) return Error{kNetBroken, 0, L"The answer's length is unclear: " + framing.error().detail};
    result.contentLength = framing.value().contentLength;
    bool chunked = framing.value().chunked;
    if (onHead && !onHead(result)) return Error{kNetNotStored, 0, L"The received data could not be stored"};

    const Error notStored{kNetNotStored, 0, L"The received data could not be stored"};
    int64_t expected = result.contentLength;
    uint64_t delivered = 0;
    bool refused = false;
    ChunkedBody chunks;
    auto deliver = [&](std::string_view block) {
        if (block.empty()) return true;
        delivered += block.size();
        return sink(block);
    };
    // Takes the next bytes of the body; false when the answer is broken.
    auto take = [&](std::string_view bytes) -> Result<void> {
        if (chunked) {
            if (!chunks.Take(bytes, deliver, refused)) {
                if (refused) return notStored;
                return Error{kNetBroken, 0, L"The answer's chunked coding is broken"};
            }
            return {};
        }
        if (expected >= 0 && delivered + bytes.size() > static_cast<uint64_t>(expected))
            return Error{kNetBroken, 0, L"The body is longer than its Content-Length of " +
                                            std::to_wstring(expected) + L" bytes"};
        if (!deliver(bytes)) return notStored;
        return {};
    };
    Result<void> taken = take(std::string_view(received).substr(headEnd + 4));
    if (!taken) return taken.error();
    for (;;) {
        if (chunked && chunks.done()) break;
        Result<size_t> got = reader.Read();
        if (!got) {
            // A server that keeps the connection after a whole answer with
            // its length is not waited for any further.
            if (!chunked && expected >= 0 && delivered == static_cast<uint64_t>(expected) &&
                got.error().native == ERROR_INTERNET_TIMEOUT)
                break;
            return got.error();
        }
        if (got.value() == 0) break;
        taken = take(std::string_view(reader.data(), got.value()));
        if (!taken) return taken.error();
    }
    if (chunked && !chunks.done())
        return Error{kNetShortBody, ERROR_INTERNET_CONNECTION_ABORTED,
                     L"Connection closed before the last chunk, after " + std::to_wstring(delivered) + L" bytes"};
    if (expected >= 0 && delivered < static_cast<uint64_t>(expected)) {
        return Error{kNetShortBody, 0, L"Connection closed after " + std::to_wstring(delivered) + L" of " +
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
