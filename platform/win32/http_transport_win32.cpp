// The transfer client's transport over the system's internet API (WinInet),
// opened with the preconfigured settings so that the user's proxy applies.
#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <mutex>

#include "platform/http_transport.h"

namespace bv::http {
namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kReceiveTimeoutMs = 120000;
// Every request goes to the server: no cached copy used, the answer not
// stored; a redirect is an answer like any other; the connection is kept.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_KEEP_CONNECTION;

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

class WinInetConnection : public Connection {
public:
    explicit WinInetConnection(HINTERNET connect) : connect_(connect) {}
    ~WinInetConnection() override {
        CloseRequest();
        InternetCloseHandle(connect_);
    }

    Result<void> SendHead(const RequestHead& head) override {
        CloseRequest();
        HINTERNET request = HttpOpenRequestW(connect_, head.method.c_str(), head.path.c_str(), L"HTTP/1.1",
                                             nullptr, nullptr, kRequestFlags, 0);
        if (!request) return Failure(L"HttpOpenRequest");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (aborted_) {
                InternetCloseHandle(request);
                return Error{kAborted, 0, L"aborted"};
            }
            request_ = request;
        }
        DWORD connectTimeout = kConnectTimeoutMs, receiveTimeout = kReceiveTimeoutMs;
        InternetSetOptionW(request, INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof connectTimeout);
        InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);

        std::wstring headers;
        for (const Header& h : head.headers)
            if (!SameName(h.first, L"Content-Length")) headers += h.first + L": " + h.second + L"\r\n";
        if (head.contentLength > 0) {
            // The body follows in blocks: HttpSendRequestEx sends the head
            // with the Content-Length of the total, HttpEndRequest ends it.
            if (!headers.empty() &&
                !HttpAddRequestHeadersW(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                        HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
                return Failure(L"HttpAddRequestHeaders");
            INTERNET_BUFFERSW buffers{};
            buffers.dwStructSize = sizeof buffers;
            buffers.dwBufferTotal = static_cast<DWORD>(head.contentLength);
            if (!HttpSendRequestExW(request, &buffers, nullptr, 0, 0)) return Failure(L"HttpSendRequestEx");
            bodyPending_ = true;
        } else {
            if (!HttpSendRequestW(request, headers.empty() ? nullptr : headers.c_str(),
                                  static_cast<DWORD>(headers.size()), nullptr, 0))
                return Failure(L"HttpSendRequest");
            bodyPending_ = false;
        }
        return {};
    }

    Result<void> WriteBody(const void* data, size_t size) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            DWORD written = 0;
            if (!InternetWriteFile(Request(), p, static_cast<DWORD>(size), &written) || written == 0)
                return Failure(L"InternetWriteFile");
            p += written;
            size -= written;
        }
        return {};
    }

    Result<ResponseHead> EndRequest() override {
        HINTERNET request = Request();
        if (bodyPending_) {
            bodyPending_ = false;
            if (!HttpEndRequestW(request, nullptr, 0, 0)) return Failure(L"HttpEndRequest");
        }
        ResponseHead head;
        DWORD status = 0, size = sizeof status;
        if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            return Failure(L"HttpQueryInfo");
        head.status = static_cast<int>(status);
        head.reason = QueryText(request, HTTP_QUERY_STATUS_TEXT);
        // The raw head: the status line, then one header a line.
        std::wstring raw = QueryText(request, HTTP_QUERY_RAW_HEADERS_CRLF);
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
            if (SameName(name, L"Content-Length")) head.contentLength = _wtoi64(value.c_str());
            head.headers.emplace_back(name, value);
        }
        return head;
    }

    Result<size_t> ReadBody(void* buffer, size_t size) override {
        HINTERNET request = Request();
        // Waits for the next bytes, then takes what has come.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) return Failure(L"InternetQueryDataAvailable");
        if (available == 0) return size_t{0};
        DWORD want = available < size ? available : static_cast<DWORD>(size), read = 0;
        if (!InternetReadFile(request, buffer, want, &read)) return Failure(L"InternetReadFile");
        return static_cast<size_t>(read);
    }

    void Abort() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (aborted_) return;
        aborted_ = true;
        // Closing the handle ends a call blocked on it in the worker.
        if (request_) InternetCloseHandle(request_);
        request_ = nullptr;
    }

    bool Alive() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !aborted_;
    }

private:
    HINTERNET Request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

    void CloseRequest() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (request_) InternetCloseHandle(request_);
        request_ = nullptr;
    }

    Error Failure(const wchar_t* call) {
        DWORD code = GetLastError();
        std::lock_guard<std::mutex> lock(mutex_);
        if (aborted_) return Error{kAborted, code, call};
        return Error{kBroken, code, call};
    }

    HINTERNET connect_;
    std::mutex mutex_;
    HINTERNET request_ = nullptr;
    bool aborted_ = false;
    bool bodyPending_ = false;
};

class WinInetTransport : public Transport {
public:
    WinInetTransport() {
        session_ = InternetOpenW(L"BVStartup", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (!session_) openError_ = GetLastError();
    }
    ~WinInetTransport() override {
        if (session_) InternetCloseHandle(session_);
    }

    Result<std::unique_ptr<Connection>> Open(const std::wstring& host, uint16_t port) override {
        if (!session_) return Error{kConnectError, openError_, L"InternetOpen"};
        HINTERNET connect = InternetConnectW(session_, host.c_str(), port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
        if (!connect) return Error{kConnectError, GetLastError(), L"InternetConnect"};
        return std::unique_ptr<Connection>(std::make_unique<WinInetConnection>(connect));
    }

private:
    HINTERNET session_ = nullptr;
    DWORD openError_ = 0;
};

}  // namespace

std::unique_ptr<Transport> MakeSystemTransport() { return std::make_unique<WinInetTransport>(); }

}  // namespace bv::http
