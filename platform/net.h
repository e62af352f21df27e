// Network services for the plain web helpers (Windows only): one blocking
// HTTP/1.1 GET over a socket of its own, and a TCP reachability check.
// Both work over IPv4 only: host names are resolved to IPv4 addresses here.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace bv::net {

struct HttpGetRequest {
    std::wstring url;                  // http://host[:port]/path
    std::wstring userAgent;
    std::vector<std::wstring> headers;  // further "Name: value" lines
    uint32_t connectTimeoutMs = 0;
    uint32_t readTimeoutMs = 0;
};

// What a GET answered: its status and head (given to the head sink before
// any of the body), and for a GET that succeeded its content type.
struct HttpGetAnswer {
    int status = 0;            // 200-299
    std::wstring contentType;  // the answer's "Content-Type", if any
    std::vector<std::pair<std::wstring, std::wstring>> headers;  // in the order received
    int64_t contentLength = -1;  // -1: none announced

    // The value of the first header called `name` (any case), or empty.
    std::wstring Header(const std::wstring& name) const;
};

// Why a GET or a connection check failed: `code` says which step,
// `native` carries the system's code (Win32 or Winsock error) or, for
// kNetStatus, the HTTP status; `detail` is the text the callers log.
enum NetError : int {
    kNetBadUrl = 1,    // not a plain HTTP URL
    kNetHostNotFound,  // the name lookup failed or took too long
    kNetSystem,        // a system call failed (native: its error code)
    kNetStatus,        // an answer arrived with a status outside 200-299
    kNetNotStored,     // the sink refused a block
    kNetShortBody,     // the body ended before its announced length or last chunk
    kNetBroken,        // the answer's head or framing cannot be trusted, or
                       // the body ran past its announced length
};

// Receives each block of the body as it arrives; answering false stops the
// transfer, which then fails.
using BodySink = std::function<bool(std::string_view block)>;
// Receives a 2xx answer's status and head before its body; answering false
// stops the transfer, which then fails (kNetNotStored).
using HeadSink = std::function<bool(const HttpGetAnswer& head)>;

// One GET, redirects not followed, no proxy, no cache, no connection kept
// after the call. Only a status of 200-299 delivers its body to `sink`; any
// other status is a failure. The body must end exactly where its head says:
// a body shorter or longer than its Content-Length, a chunked body cut
// before its last chunk, a Content-Length that is not plain digits or that
// is given twice with different values, each is a failure.
Result<HttpGetAnswer> HttpGet(const HttpGetRequest& request, const BodySink& sink, const HeadSink& head = {});

// Opens a TCP connection to `host` (resolved to IPv4) on `port` within
// `timeoutMs` and closes it at once without sending anything.
Result<void> TcpConnectCheck(const std::wstring& host, uint16_t port, uint32_t timeoutMs);

}  // namespace bv::net
