// The transfer client's one HTTP connection, httpClient: a queue of requests
// served one at a time by the connection's own worker thread, opened when a
// request is posted, reopened after a loss while requests wait, closed after
// 90 seconds without activity. A request that fails before its answer is
// complete is sent again when its owner allows it, else it and every request
// waiting behind it end with the abort event.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/http_transport.h"
#include "platform/ui_handover.h"

namespace bv {

// One posted request: what its owner filled in, carried to its events.
struct httpRequest {
    std::wstring path;                     // sent unchanged
    std::vector<http::Header> query;       // name=value, joined by "&" after "?"
    std::vector<http::Header> info;        // named entries for the events

    std::wstring Info(const std::wstring& name) const;
    void SetInfo(const std::wstring& name, const std::wstring& value);
    // The path with "?" and the query when there is one.
    std::wstring Target() const;

    int reposts = 0;      // times it was sent again after a failure
    std::wstring failure;  // the owner's own note (why a download was not saved)
    std::wstring partial;  // a download's file being written; removed unless it completes

    // A remote call's document to send, and its answer as it arrives.
    std::string body;
    std::string answer;
};

// What a request's events see and do. The events only fill this in; the
// worker thread does the network work after each event has returned, so an
// event may run on either thread.
struct RequestEvent {
    httpRequest& request;
    explicit RequestEvent(httpRequest& r) : request(r) {}

    // Begin-request: the head to send (its path is the request's target).
    http::RequestHead head;

    // Data-sent: the body bytes gone out so far; Write hands over the next
    // block (at most kMaxBodyBlock bytes), which goes out after the event.
    static constexpr size_t kMaxBodyBlock = 64000;
    int64_t bytesSent = 0;
    void Write(const void* data, size_t size);
    std::vector<char> outBlock;

    // Data-received: the answer's head, the block that arrived since the
    // previous event (possibly none), the body bytes so far, and whether this
    // is the answer's first and its last event.
    http::ResponseHead response;
    std::string_view block;
    int64_t bytesReceived = 0;
    bool first = false;
    bool complete = false;

    // Any event: the owner has ended the request itself. From begin-request
    // nothing is sent and the connection stays as it was; later, nothing
    // more is sent or read, and a connection whose answer was not read to
    // its end is closed. No abort event follows either way.
    void Finish() { finished = true; }
    bool finished = false;
};

// The component that posts requests and handles their events.
class RequestOwner {
public:
    virtual ~RequestOwner() = default;
    // How many times a failed request is sent again before it is given up.
    virtual int AutoRepost() const = 0;
    // Whether the events run on the user-interface thread.
    virtual bool AutoSyncEvents() const = 0;
    virtual void BeginRequest(RequestEvent& e) = 0;
    // Raised after the head has gone out and again after every block, while
    // the event writes one; only for heads with a Content-Length above 0.
    virtual void DataSent(RequestEvent& e) {}
    virtual void DataReceived(RequestEvent& e) = 0;
};

// The connection's four events. They run on the thread that notices the
// change (the worker thread), without being handed over.
struct ConnectionEvents {
    std::function<void()> Connect;
    std::function<void()> ConnectError;
    std::function<void()> ConnectFail;
    std::function<void(const httpRequest&)> ResponseAbort;
};

class httpClient {
public:
    // The connection's states; SetState is the one place that changes it.
    enum class State {
        Closed,   // no connection; the next posted request opens one
        Opening,  // the worker is opening a connection for a waiting request
        Open,     // open: serving the active request, or idle and timing out
        Stopped,  // shut down: requests are refused, nothing opens again
    };

    // `handover` runs the events of owners with AutoSyncEvents; it must
    // outlive the client. `transport` may be null (every opening then fails
    // with an error).
    httpClient(std::unique_ptr<http::Transport> transport, UiHandover* handover, ConnectionEvents events,
               std::chrono::milliseconds inactivity = std::chrono::seconds(90));
    ~httpClient();  // Shutdown
    httpClient(const httpClient&) = delete;
    httpClient& operator=(const httpClient&) = delete;

    // Takes effect when the connection is next opened. A port that is not a
    // number means 80.
    void SetServer(const std::wstring& addr, const std::wstring& port);
    std::wstring ServerAddr() const;
    std::wstring ServerPort() const;

    // Joins the end of the queue; opens the connection if it is not open.
    // After Shutdown the request ends at once with the abort event.
    void Post(RequestOwner& owner, httpRequest request);

    // Aborts the active request and then every waiting one (one abort event
    // each, in queue order, none sent), closes the connection, cancels the
    // hand-over and joins the worker. Safe to call twice.
    void Shutdown();

    State state() const;
    static const wchar_t* StateName(State s);

private:
    struct Queued {
        RequestOwner* owner;
        httpRequest request;
    };
    // Dropped: the owner ended the request in the middle (RequestEvent::Finish).
    enum class Cause { None, ConnectError, ConnectFail, Broken, TimedOut, Stopped, Dropped };
    using Lock = std::unique_lock<std::mutex>;

    void SetState(State next, const wchar_t* why);  // lock held
    void Touch();                                   // lock held: restart the inactivity timer
    void TouchUnlocked();
    void Worker();
    void Watchdog();
    // Serves the active request; answers the cause of a failure, or None.
    Cause Serve(Queued& active, http::Connection& conn);
    bool RunEvent(RequestOwner& owner, const std::function<void()>& event);
    Cause CauseOf(const Error& error);
    void Fail(Lock& lock, Queued active, Cause cause);
    void CloseConnection(Lock& lock, const wchar_t* why);

    std::unique_ptr<http::Transport> transport_;
    UiHandover* handover_;
    ConnectionEvents events_;
    const std::chrono::milliseconds inactivity_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;   // the worker: a request, or stop
    std::condition_variable timer_;  // the watchdog: a new deadline, or stop
    State state_ = State::Closed;
    std::wstring addr_ = L"localhost", port_ = L"6060";
    std::deque<Queued> queue_;
    std::unique_ptr<http::Connection> conn_;
    bool busy_ = false;      // the worker is serving a request
    bool timedOut_ = false;  // the watchdog aborted the connection
    bool stopping_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<char> buffer_;
    std::thread worker_, watchdog_;
};

}  // namespace bv
