// The transfer client's connection: its worker thread, its request queue and
// its inactivity timer.
#include "transfer/http_client.h"

#include <cwctype>

#include "util/log.h"
#include "util/host_port.h"

namespace bv {

namespace {
constexpr size_t kReadBlock = 1 << 20;  // the largest body block handed to an event
}

// ---- Requests ----

std::wstring httpRequest::Info(const std::wstring& name) const {
    for (const http::Header& entry : info)
        if (entry.first == name) return entry.second;
    return {};
}

void httpRequest::SetInfo(const std::wstring& name, const std::wstring& value) {
    for (http::Header& entry : info)
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    info.emplace_back(name, value);
}

std::wstring httpRequest::Target() const {
    std::wstring target = path;
    for (size_t i = 0; i < query.size(); ++i)
        target += (i == 0 ? L"?" : L"&") + query[i].first + L"=" + query[i].second;
    return target;
}

void RequestEvent::Write(const void* data, size_t size) {
    if (size > kMaxBodyBlock) size = kMaxBodyBlock;
    const char* bytes = static_cast<const char*>(data);
    outBlock.assign(bytes, bytes + size);
}

// ---- The connection ----

httpClient::httpClient(std::unique_ptr<http::Transport> transport, UiHandover* handover, ConnectionEvents events,
                       std::chrono::milliseconds inactivity)
    : transport_(std::move(transport)), handover_(handover), events_(std::move(events)), inactivity_(inactivity) {
    buffer_.resize(kReadBlock);
    worker_ = std::thread([this] { Worker(); });
    watchdog_ = std::thread([this] { Watchdog(); });
}

httpClient::~httpClient() { Shutdown(); }

const wchar_t* httpClient::StateName(State s) {
    switch (s) {
        case State::Closed: return L"closed";
        case State::Opening: return L"opening";
        case State::Open: return L"open";
        case State::Stopped: return L"stopped";
    }
    return L"?";
}

void httpClient::SetState(State next, const wchar_t* why) {
    if (next == state_) return;
    // A closed connection stops quietly: a program that never used it
    // leaves no trace of it in the log.
    bool quiet = state_ == State::Closed && next == State::Stopped;
    std::wstring line = L"httpClient ";
    line += StateName(state_);
    line += L" -> ";
    line += StateName(next);
    line += L" (";
    line += why;
    line += L")";
    state_ = next;
    if (!quiet) ClientLog(line);
    timer_.notify_all();
}

httpClient::State httpClient::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void httpClient::SetServer(const std::wstring& addr, const std::wstring& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    addr_ = addr;
    port_ = port;
}

std::wstring httpClient::ServerAddr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return addr_;
}

std::wstring httpClient::ServerPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

void httpClient::Touch() {
    deadline_ = std::chrono::steady_clock::now() + inactivity_;
    timer_.notify_all();
}

void httpClient::TouchUnlocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    Touch();
}

void httpClient::Post(RequestOwner& owner, httpRequest request) {
    Lock lock(mutex_);
    if (state_ == State::Stopped) {
        lock.unlock();
        if (events_.ResponseAbort) events_.ResponseAbort(request);
        return;
    }
    queue_.push_back({&owner, std::move(request)});
    wake_.notify_all();
}

void httpClient::Shutdown() {
    {
        Lock lock(mutex_);
        if (stopping_ && !worker_.joinable()) return;
        stopping_ = true;
        if (conn_) conn_->Abort();
        wake_.notify_all();
        timer_.notify_all();
    }
    // A worker waiting for an event on this thread gives up its wait.
    if (handover_) handover_->Cancel();
    if (worker_.joinable()) worker_.join();
    if (watchdog_.joinable()) watchdog_.join();
}

// The port as a number; anything else means 80.
static uint16_t PortNumber(const std::wstring& text) { return ParsePort(text).value_or(80); }

void httpClient::Worker() {
    Lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;

        // A connection the server closed while idle is opened again at once,
        // since a request waits.
        if (state_ == State::Open && conn_ && !conn_->Alive()) CloseConnection(lock, L"connection lost");

        if (state_ != State::Open) {
            SetState(State::Opening, L"request posted");
            Touch();
            std::wstring host = addr_;
            uint16_t port = PortNumber(port_);
            lock.unlock();
            Result<std::unique_ptr<http::Connection>> opened =
                transport_ ? transport_->Open(host, port)
                           : Result<std::unique_ptr<http::Connection>>(Error{http::kConnectError, 0, L"no transport"});
            lock.lock();
            if (!opened) {
                Cause cause = opened.error().code == http::kConnectFail ? Cause::ConnectFail : Cause::ConnectError;
                if (stopping_) cause = Cause::Stopped;
                SetState(State::Closed, cause == Cause::ConnectFail ? L"connect failed" : L"connect error");
                Queued active = std::move(queue_.front());
                queue_.pop_front();
                Fail(lock, std::move(active), cause);
                continue;
            }
            conn_ = std::move(opened.value());
            if (stopping_) break;
            timedOut_ = false;
            SetState(State::Open, L"connected");
            Touch();
            lock.unlock();
            if (events_.Connect) events_.Connect();
            lock.lock();
            continue;  // look again: the connection may have timed out meanwhile
        }

        Queued active = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        Touch();
        http::Connection* conn = conn_.get();
        lock.unlock();
        Cause cause = Serve(active, *conn);
        lock.lock();
        busy_ = false;
        if (stopping_ && cause != Cause::None) cause = Cause::Stopped;
        if (cause == Cause::Dropped) {
            // The owner ended the request before its answer's end: what is
            // left of it makes the connection useless for the next request.
            CloseConnection(lock, L"answer left unread");
            continue;
        }
        if (cause == Cause::None) {
            // The timer may have broken the connection during the last event.
            if (timedOut_) CloseConnection(lock, L"timed out");
            Touch();
            continue;
        }
        CloseConnection(lock, cause == Cause::TimedOut ? L"timed out"
                              : cause == Cause::Stopped ? L"shut down"
                                                        : L"connection broken");
        Fail(lock, std::move(active), cause);
    }

    // Shutting down: the active request (if the worker broke off one, it
    // was failed above) and every waiting one end with their aborts.
    CloseConnection(lock, L"shut down");
    SetState(State::Stopped, L"shut down");
    std::deque<Queued> waiting;
    waiting.swap(queue_);
    lock.unlock();
    for (Queued& q : waiting)
        if (events_.ResponseAbort) events_.ResponseAbort(q.request);
}

void httpClient::CloseConnection(Lock& lock, const wchar_t* why) {
    std::unique_ptr<http::Connection> closing = std::move(conn_);
    timedOut_ = false;
    if (state_ == State::Open || state_ == State::Opening) SetState(State::Closed, why);
    if (closing) {
        lock.unlock();
        closing.reset();
        lock.lock();
    }
}

void httpClient::Fail(Lock& lock, Queued active, Cause cause) {
    // Sent again from the start when its owner allows it; nothing else.
    if (cause != Cause::Stopped && active.request.reposts < active.owner->AutoRepost()) {
        ++active.request.reposts;
        queue_.push_front(std::move(active));
        wake_.notify_all();
        return;
    }
    std::deque<Queued> waiting;
    waiting.swap(queue_);
    lock.unlock();
    if (events_.ResponseAbort) events_.ResponseAbort(active.request);
    if (cause == Cause::ConnectFail && events_.ConnectFail) events_.ConnectFail();
    if (cause == Cause::ConnectError && events_.ConnectError) events_.ConnectError();
    for (Queued& q : waiting)
        if (events_.ResponseAbort) events_.ResponseAbort(q.request);
    lock.lock();
}

httpClient::Cause httpClient::CauseOf(const Error& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return Cause::Stopped;
    if (timedOut_) return Cause::TimedOut;
    if (error.code == http::kConnectFail) return Cause::ConnectFail;
    if (error.code == http::kConnectError) return Cause::ConnectError;
    return Cause::Broken;
}

bool httpClient::RunEvent(RequestOwner& owner, const std::function<void()>& event) {
    if (owner.AutoSyncEvents() && handover_) return handover_->Call(event);
    event();
    return true;
}

static bool HasNoBody(const http::RequestHead& request, const http::ResponseHead& response) {
    int s = response.status;
    return request.method == L"HEAD" || s == 204 || s == 304 || (s >= 100 && s < 200);
}

httpClient::Cause httpClient::Serve(Queued& active, http::Connection& connection) {
    RequestOwner& owner = *active.owner;
    http::Connection* conn = &connection;
    RequestEvent e(active.request);
    if (!RunEvent(owner, [&] { owner.BeginRequest(e); })) return Cause::Stopped;
    if (e.finished) return Cause::None;
    e.head.path = active.request.Target();

    if (Result<void> sent = conn->SendHead(e.head); !sent) return CauseOf(sent.error());
    TouchUnlocked();
    if (e.head.contentLength > 0) {
        for (;;) {
            e.outBlock.clear();
            if (!RunEvent(owner, [&] { owner.DataSent(e); })) return Cause::Stopped;
            if (e.finished) return Cause::Dropped;
            if (e.outBlock.empty()) break;
            if (Result<void> w = conn->WriteBody(e.outBlock.data(), e.outBlock.size()); !w)
                return CauseOf(w.error());
            e.bytesSent += static_cast<int64_t>(e.outBlock.size());
            TouchUnlocked();
        }
        e.outBlock = {};
    }

    Result<http::ResponseHead> answer = conn->EndRequest();
    if (!answer) return CauseOf(answer.error());
    TouchUnlocked();
    e.response = std::move(answer.value());
    int64_t length = HasNoBody(e.head, e.response) ? 0 : e.response.contentLength;

    bool first = true;
    int64_t received = 0;
    for (;;) {
        size_t n = 0;
        if (length < 0 || received < length) {
            size_t want = buffer_.size();
            if (length >= 0 && static_cast<uint64_t>(length - received) < want)
                want = static_cast<size_t>(length - received);
            Result<size_t> got = conn->ReadBody(buffer_.data(), want);
            if (!got) return CauseOf(got.error());
            n = got.value();
            TouchUnlocked();
            // The close came before the announced length: a broken answer.
            if (n == 0 && length >= 0) return CauseOf(Error{http::kBroken, 0, L"answer cut off"});
        }
        received += static_cast<int64_t>(n);
        e.block = std::string_view(buffer_.data(), n);
        e.bytesReceived = received;
        e.first = first;
        e.complete = length >= 0 ? received >= length : n == 0;
        if (!RunEvent(owner, [&] { owner.DataReceived(e); })) return Cause::Stopped;
        first = false;
        if (e.complete) return Cause::None;
        if (e.finished) return Cause::Dropped;
    }
}

void httpClient::Watchdog() {
    Lock lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (state_ != State::Open && state_ != State::Opening) {
            timer_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < deadline_) {
            timer_.wait_until(lock, deadline_);
            continue;
        }
        // The inactivity timer ran out.
        if (busy_) {
            // The worker is inside the request: break the connection under
            // it; it ends the request as timed out.
            if (!timedOut_ && conn_) {
                timedOut_ = true;
                ClientLog(L"httpClient inactivity timeout");
                conn_->Abort();
            }
            timer_.wait(lock);
        } else if (state_ == State::Open) {
            // Idle: closed quietly, nothing to abort.
            CloseConnection(lock, L"timed out");
        } else {
            timer_.wait(lock);
        }
    }
}

}  // namespace bv
