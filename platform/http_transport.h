// The transfer client's HTTP transport: one connection to one server, over
// which requests go one at a time. A request is its head, a body written in
// blocks (uploads) and an answer read in blocks as it arrives. The product
// uses the system's internet API (its proxy settings apply); native tests use
// a scripted transport.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "util/error.h"

namespace bv::http {

// Error codes of the transport.
enum ErrorCode : int {
    kConnectError = 1,  // setting the connection up raised an error
    kConnectFail = 2,   // the connection attempt failed
    kBroken = 3,        // the connection broke, or could not reach the server
    kAborted = 4,       // Abort() was called
};

using Header = std::pair<std::wstring, std::wstring>;

struct RequestHead {
    std::wstring method = L"GET";
    std::wstring path;   // with "?" and the query when there is one
    std::vector<Header> headers;  // added to the stack's own
    int64_t contentLength = 0;    // body bytes the caller will write
};

// The largest body a request can announce: the system's internet API takes
// the length of a body sent in blocks as a 32-bit number.
inline constexpr int64_t kMaxRequestBody = 0xFFFFFFFF;

// The most an answer's head may hold (status line and header lines); a
// larger head is a broken answer.
inline constexpr size_t kMaxAnswerHead = 64 * 1024;

// How an answer's body ends, read from its headers as HTTP/1.1 says: with
// Content-Length (plain digits; repeated only with the same value) it is
// that many bytes; with a transfer coding (chunked) it ends at the coding's
// last chunk; with neither it runs to the close. A length that is not plain
// digits, lengths that differ, or a length beside a transfer coding make the
// answer broken (kBroken): its body's end cannot be trusted.
struct Framing {
    int64_t contentLength = -1;  // -1: none
    bool chunked = false;        // a transfer coding delimits the body
};
Result<Framing> ReadFraming(const std::vector<std::pair<std::wstring, std::wstring>>& headers);

struct ResponseHead {
    int status = 0;
    std::wstring reason;
    std::vector<Header> headers;  // in the order received
    int64_t contentLength = -1;   // -1: none (the body ends with the last chunk, or at the close)
};

// One open connection. Calls come from one thread at a time, except Abort,
// which any thread may call at any time: it makes a blocked call return
// (kAborted) and every later call fail.
class Connection {
public:
    virtual ~Connection() = default;
    // Sends the request head. The server may first be reached here.
    virtual Result<void> SendHead(const RequestHead& head) = 0;
    // Writes the next block of the body (after SendHead).
    virtual Result<void> WriteBody(const void* data, size_t size) = 0;
    // Ends the request and waits for the answer's head.
    virtual Result<ResponseHead> EndRequest() = 0;
    // Waits for body bytes and answers up to `size` of them as soon as any
    // have arrived; 0 at the end of the answer.
    virtual Result<size_t> ReadBody(void* buffer, size_t size) = 0;
    // False when the server is known to have closed the connection while it
    // was idle (then it must be opened again).
    virtual bool Alive() { return true; }
    virtual void Abort() = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Opens a connection to host:port. Through the system's internet API
    // this does not yet reach the server.
    virtual Result<std::unique_ptr<Connection>> Open(const std::wstring& host, uint16_t port) = 0;
};

#ifdef _WIN32
// The system's internet API, opened with the preconfigured settings (the
// user's proxy applies): connect timeout 10 s (kept by the transport itself)
// and receive timeout 120 s per request, no cache, no redirects followed, no
// cookies, credentials or dialogs, connections kept alive. An answer head
// larger than kMaxAnswerHead, or whose framing is broken, fails (kBroken).
std::unique_ptr<Transport> MakeSystemTransport();
#endif

}  // namespace bv::http
