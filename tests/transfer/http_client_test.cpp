// The transfer client's connection natively, through a scripted transport,
// for ThreadSanitizer: abort ordering, reposts, reconnects, the inactivity
// timer, uploads in blocks, shutdown with a request in flight, and worker
// posts racing the window timer's read-act-reset of the mailbox.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <algorithm>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "transfer/dmClient.h"
#include "transfer/http_client.h"
#include "platform/fs.h"
#include "transfer/notify.h"
#include "transfer/xmlrpc.h"

namespace bv {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

// What the scripted server does with one request.
struct Step {
    // Endless: an answer without a length whose body never ends.
    enum Kind { Answer, FailSend, FailEnd, FailRead, Stall, Endless } kind = Answer;
    int status = 200;
    Strings blocks;
    bool closeAfter = false;  // the server closes the connection once answered
};

class ScriptTransport : public http::Transport {
public:
    Result<std::unique_ptr<http::Connection>> Open(const std::wstring& host, uint16_t port) override;

    std::mutex mutex;
    std::mutex gate;  // held by a test to keep the worker from opening
    std::deque<int> openErrors;  // per attempt: 0 opens, else the error code
    std::deque<Step> steps;      // per request sent, in order; then plain answers
    Strings sent;                // each request's target as sent
    std::vector<http::RequestHead> heads;  // each request's head as sent
    Strings bodies;               // each request's body bytes
    std::vector<size_t> written;  // each body block's size
    int opens = 0;
    int64_t endlessRead = 0;  // bytes of endless bodies read
    std::wstring lastHost;
    uint16_t lastPort = 0;

    Strings Sent() {
        std::lock_guard<std::mutex> lock(mutex);
        return sent;
    }
};

class ScriptConnection : public http::Connection {
public:
    explicit ScriptConnection(ScriptTransport& t) : t_(t) {}

    Result<void> SendHead(const http::RequestHead& head) override {
        {
            std::lock_guard<std::mutex> lock(t_.mutex);
            t_.sent.push_back(Narrow(head.path));
            t_.heads.push_back(head);
            t_.bodies.emplace_back();
            step_ = Step{};
            if (!t_.steps.empty()) step_ = t_.steps.front(), t_.steps.pop_front();
        }
        next_ = 0;
        if (Aborted()) return Error{http::kAborted, 0, L""};
        if (step_.kind == Step::FailSend) return Broken();
        return {};
    }
    Result<void> WriteBody(const void* data, size_t size) override {
        std::lock_guard<std::mutex> lock(t_.mutex);
        t_.written.push_back(size);
        t_.bodies.back().append(static_cast<const char*>(data), size);
        return {};
    }
    Result<http::ResponseHead> EndRequest() override {
        if (step_.kind == Step::FailEnd) return Broken();
        http::ResponseHead head;
        head.status = step_.status;
        head.reason = L"Reason";
        int64_t length = 0;
        for (const std::string& b : step_.blocks) length += static_cast<int64_t>(b.size());
        head.contentLength = step_.kind == Step::FailRead || step_.kind == Step::Stall ? length + 1 : length;
        if (step_.kind == Step::Endless) head.contentLength = -1;
        return head;
    }
    Result<size_t> ReadBody(void* buffer, size_t size) override {
        if (step_.kind == Step::Stall && next_ == step_.blocks.size()) {
            std::unique_lock<std::mutex> lock(mutex_);
            abortedCv_.wait(lock, [&] { return aborted_; });
            return Error{http::kAborted, 0, L""};
        }
        if (Aborted()) return Error{http::kAborted, 0, L""};
        if (step_.kind == Step::Endless) {
            std::memset(buffer, 'x', size);
            std::lock_guard<std::mutex> lock(t_.mutex);
            t_.endlessRead += static_cast<int64_t>(size);
            return size;
        }
        if (next_ < step_.blocks.size()) {
            const std::string& b = step_.blocks[next_++];
            std::memcpy(buffer, b.data(), std::min(size, b.size()));
            if (next_ == step_.blocks.size() && step_.closeAfter) SetClosed();
            return b.size();
        }
        if (step_.kind == Step::FailRead) return Broken();
        return size_t{0};
    }
    bool Alive() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !aborted_ && !closed_;
    }
    void Abort() override {
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = true;
        abortedCv_.notify_all();
    }

private:
    bool Aborted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return aborted_;
    }
    void SetClosed() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    Error Broken() {
        SetClosed();
        return Error{http::kBroken, 0, L"broken"};
    }

    ScriptTransport& t_;
    Step step_;
    size_t next_ = 0;
    std::mutex mutex_;
    std::condition_variable abortedCv_;
    bool aborted_ = false, closed_ = false;
};

Result<std::unique_ptr<http::Connection>> ScriptTransport::Open(const std::wstring& host, uint16_t port) {
    { std::lock_guard<std::mutex> held(gate); }
    std::lock_guard<std::mutex> lock(mutex);
    ++opens;
    lastHost = host;
    lastPort = port;
    if (!openErrors.empty()) {
        int error = openErrors.front();
        openErrors.pop_front();
        if (error) return Error{error, 0, L"open"};
    }
    return std::unique_ptr<http::Connection>(std::make_unique<ScriptConnection>(*this));
}

// Everything that happened, in order, across threads.
class Journal {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(what);
    }
    Strings Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& e : Entries()) n += e.rfind(prefix, 0) == 0;
        return n;
    }

private:
    mutable std::mutex mutex_;
    Strings entries_;
};

class Owner : public RequestOwner {
public:
    Owner(Journal& j, int repost, bool sync, int64_t upload = 0) : j_(j), repost_(repost), sync_(sync), upload_(upload) {}
    int AutoRepost() const override { return repost_; }
    bool AutoSyncEvents() const override { return sync_; }
    void BeginRequest(RequestEvent& e) override {
        e.head.method = upload_ ? L"PUT" : L"GET";
        e.head.contentLength = upload_;
        j_.Add("begin " + Narrow(e.request.path));
    }
    void DataSent(RequestEvent& e) override {
        if (e.bytesSent >= upload_) return;
        std::string block(static_cast<size_t>(std::min<int64_t>(upload_ - e.bytesSent, 100000)), 'x');
        e.Write(block.data(), block.size());
    }
    void DataReceived(RequestEvent& e) override {
        j_.Add("data " + Narrow(e.request.path) + " " + std::to_string(e.bytesReceived) + (e.complete ? " done" : ""));
    }

private:
    Journal& j_;
    int repost_;
    bool sync_;
    int64_t upload_;
};

ConnectionEvents Recorder(Journal& j) {
    ConnectionEvents ev;
    ev.Connect = [&j] { j.Add("connect"); };
    ev.ConnectError = [&j] { j.Add("connecterror"); };
    ev.ConnectFail = [&j] { j.Add("connectfail"); };
    ev.ResponseAbort = [&j](const httpRequest& r) { j.Add("abort " + Narrow(r.path)); };
    return ev;
}

httpRequest Req(const std::wstring& path) {
    httpRequest r;
    r.path = path;
    return r;
}

// Waits (pumping the hand-over when there is one) until `done`.
template <class Pred>
bool WaitFor(Pred done, PumpedHandover* pump = nullptr, std::chrono::milliseconds limit = 5s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (pump)
            pump->Pump(5);
        else
            std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct Rig {
    explicit Rig(std::chrono::milliseconds inactivity = 90s, bool pumped = false) {
        auto t = std::make_unique<ScriptTransport>();
        transport = t.get();
        if (pumped) pump = std::make_unique<PumpedHandover>();
        client = std::make_unique<httpClient>(std::move(t), pump.get(), Recorder(journal), inactivity);
    }
    Journal journal;
    ScriptTransport* transport;
    std::unique_ptr<PumpedHandover> pump;
    std::unique_ptr<httpClient> client;
};

// Failures of the active request: the abort for it, then the connection's
// own event when the attempt itself failed, then one abort for each waiting
// request in queue order; none of those is sent; no retry of the attempt.
TEST(HttpClient, FailureAbortsTheActiveThenEveryWaitingRequestInOrder) {
    struct Case {
        const char* name;
        std::deque<int> openErrors;
        Step first;
        Strings expected;  // the journal
        Strings sent;
    };
    Step broken;
    broken.kind = Step::FailSend;
    Step cut;
    cut.kind = Step::FailRead;
    cut.blocks = {"abc"};
    std::vector<Case> cases = {
        {"connect fails", {http::kConnectFail}, {}, {"abort /1", "connectfail", "abort /2", "abort /3"}, {}},
        {"connect error", {http::kConnectError}, {}, {"abort /1", "connecterror", "abort /2", "abort /3"}, {}},
        {"head cannot be sent", {}, broken, {"connect", "begin /1", "abort /1", "abort /2", "abort /3"}, {"/1"}},
        {"answer cut off", {}, cut,
         {"connect", "begin /1", "data /1 3", "abort /1", "abort /2", "abort /3"}, {"/1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        {
            std::lock_guard<std::mutex> lock(rig.transport->mutex);
            rig.transport->openErrors = c.openErrors;
            rig.transport->steps = {c.first};
        }
        Owner owner(rig.journal, 0, false);
        {
            // The connection opens only once all three wait.
            std::lock_guard<std::mutex> held(rig.transport->gate);
            for (const wchar_t* p : {L"/1", L"/2", L"/3"}) rig.client->Post(owner, Req(p));
        }
        ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("abort") == 3; }));
        std::this_thread::sleep_for(20ms);
        Strings got = rig.journal.Entries();
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(rig.transport->Sent(), c.sent);
        EXPECT_EQ(rig.transport->opens, 1);
        EXPECT_EQ(rig.client->state(), httpClient::State::Closed);
        // The next request opens the connection again and is served.
        rig.client->Post(owner, Req(L"/4"));
        ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /4 0 done") == 1; }));
    }
}

// A request whose owner allows reposts is sent again after each failure, at
// most AutoRepost more times; only the failure after that aborts it.
TEST(HttpClient, RepostsUpToTheOwnersLimit) {
    struct Case {
        int failures;
        size_t aborts;
        size_t sent;
    };
    for (Case c : {Case{2, 0, 3}, Case{3, 1, 3}}) {
        SCOPED_TRACE(c.failures);
        Rig rig;
        Step broken;
        broken.kind = Step::FailEnd;
        {
            std::lock_guard<std::mutex> lock(rig.transport->mutex);
            for (int i = 0; i < c.failures; ++i) rig.transport->steps.push_back(broken);
        }
        Owner call(rig.journal, 2, false);
        rig.client->Post(call, Req(L"/BVSYNC"));
        ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("abort") + rig.journal.Count("data") > 0; }));
        EXPECT_EQ(rig.journal.Count("abort /BVSYNC"), c.aborts);
        EXPECT_EQ(rig.journal.Count("data /BVSYNC 0 done"), 1 - c.aborts);
        EXPECT_EQ(rig.transport->Sent().size(), c.sent);
        EXPECT_EQ(rig.journal.Count("connect"), 3u);  // reopened for each try
    }
}

// A connection the server closed while a request waited is opened again at
// once and the request served; the server and port in force at opening are
// used ("not a number" means 80).
TEST(HttpClient, ReconnectsAfterALossWhileRequestsWait) {
    Rig rig;
    Step first;
    first.blocks = {"one"};
    first.closeAfter = true;
    {
        std::lock_guard<std::mutex> lock(rig.transport->mutex);
        rig.transport->steps = {first};
    }
    Owner owner(rig.journal, 0, false);
    rig.client->SetServer(L"example.test", L"8080");
    rig.client->Post(owner, Req(L"/a"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /a 3 done") == 1; }));
    EXPECT_EQ(rig.transport->lastPort, 8080);
    rig.client->SetServer(L"example.test", L"eighty");
    rig.client->Post(owner, Req(L"/b"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /b 0 done") == 1; }));
    EXPECT_EQ(rig.transport->opens, 2);
    EXPECT_EQ(rig.transport->lastPort, 80);
    EXPECT_EQ(rig.journal.Count("connect"), 2u);
    EXPECT_EQ(rig.journal.Count("abort"), 0u);
}

// The inactivity timer: a stalled answer is broken off and aborted; an idle
// connection is closed quietly (no abort).
TEST(HttpClient, InactivityTimeout) {
    Rig rig(150ms);
    Step stall;
    stall.kind = Step::Stall;
    stall.blocks = {"part"};
    {
        std::lock_guard<std::mutex> lock(rig.transport->mutex);
        rig.transport->steps = {Step{}, stall};
    }
    Owner owner(rig.journal, 0, false);
    rig.client->Post(owner, Req(L"/idle"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /idle") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return rig.client->state() == httpClient::State::Closed; }));
    EXPECT_EQ(rig.journal.Count("abort"), 0u);

    auto start = std::chrono::steady_clock::now();
    rig.client->Post(owner, Req(L"/stall"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("abort /stall") == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
    EXPECT_EQ(rig.journal.Count("data /stall 4"), 1u);
    EXPECT_EQ(rig.client->state(), httpClient::State::Closed);
}

// Upload shape: the body goes out in blocks of at most 64000 bytes from the
// data-sent event; a body of exactly one block goes out in one.
TEST(HttpClient, BodyInBlocksOf64000) {
    struct Case {
        int64_t size;
        std::vector<size_t> blocks;
    };
    for (Case c : {Case{150000, {64000, 64000, 22000}}, Case{64000, {64000}}, Case{64001, {64000, 1}}, Case{0, {}}}) {
        SCOPED_TRACE(c.size);
        Rig rig;
        Owner upload(rig.journal, 0, false, c.size);
        rig.client->Post(upload, Req(L"/UPLOAD"));
        ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /UPLOAD 0 done") == 1; }));
        std::lock_guard<std::mutex> lock(rig.transport->mutex);
        EXPECT_EQ(rig.transport->written, c.blocks);
    }
}

// Events of owners with AutoSyncEvents run on the pumping (user-interface)
// thread; shutting down from that thread with a request in flight and others
// waiting ends at once: the active one and then each waiting one aborted in
// order, none of the waiting ones sent, no event left unrun or run after.
TEST(HttpClient, ShutdownWithARequestInFlight) {
    Rig rig(90s, true);
    Step stall;
    stall.kind = Step::Stall;
    stall.blocks = {"first"};
    {
        std::lock_guard<std::mutex> lock(rig.transport->mutex);
        rig.transport->steps = {stall};
    }
    std::thread::id ui = std::this_thread::get_id();
    std::atomic<bool> offThread{false};
    class UiOwner : public Owner {
    public:
        UiOwner(Journal& j, std::thread::id ui, std::atomic<bool>& off) : Owner(j, 0, true), ui_(ui), off_(off) {}
        void DataReceived(RequestEvent& e) override {
            if (std::this_thread::get_id() != ui_) off_ = true;
            Owner::DataReceived(e);
        }
        std::thread::id ui_;
        std::atomic<bool>& off_;
    } owner(rig.journal, ui, offThread);
    rig.client->Post(owner, Req(L"/1"));
    rig.client->Post(owner, Req(L"/2"));
    rig.client->Post(owner, Req(L"/3"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("data /1 5") == 1; }, rig.pump.get()));
    auto start = std::chrono::steady_clock::now();
    rig.client->Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(offThread);
    EXPECT_EQ(rig.journal.Entries(),
              (Strings{"connect", "begin /1", "data /1 5", "abort /1", "abort /2", "abort /3"}));
    EXPECT_EQ(rig.transport->Sent(), Strings{"/1"});
    EXPECT_EQ(rig.client->state(), httpClient::State::Stopped);
    // After the shutdown a post ends at once with its abort.
    rig.client->Post(owner, Req(L"/4"));
    EXPECT_EQ(rig.journal.Count("abort /4"), 1u);
}

// Shutting down while the worker waits for an event that the user-interface
// thread has not run yet: the hand-over gives up, nothing deadlocks.
TEST(HttpClient, ShutdownWhileAnEventWaitsForTheUserInterface) {
    Rig rig(90s, true);
    Owner owner(rig.journal, 0, true);
    rig.client->Post(owner, Req(L"/1"));
    ASSERT_TRUE(WaitFor([&] { return rig.journal.Count("connect") == 1; }));
    std::this_thread::sleep_for(20ms);  // the begin-request event now waits unpumped
    auto start = std::chrono::steady_clock::now();
    rig.client->Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(rig.journal.Entries(), (Strings{"connect", "abort /1"}));
}

TEST(HttpDownload, ProgressRoundsHalfToEven) {
    struct Case {
        int64_t n, total;
        int32_t percent;
    };
    for (Case c : {Case{50, 150, 33}, Case{110, 150, 73}, Case{1, 8, 12}, Case{3, 8, 38}, Case{1, 200, 0},
                   Case{3, 200, 2}, Case{5, 0, 0}, Case{150, 150, 100}}) {
        EXPECT_EQ(PercentHalfEven(c.n, c.total), c.percent) << c.n << "/" << c.total;
    }
}

// The module's abort posts from the worker thread race the window timer's
// read-act-reset: every "ResponseAbort" is seen exactly once, with its flag.
TEST(HttpDownload, AbortPostsRaceTheTimersReadActReset) {
    constexpr int kRequests = 200;
    auto t = std::make_unique<ScriptTransport>();
    t->openErrors.assign(kRequests, http::kConnectFail);
    TdmClient::Setup setup;
    setup.transport = std::move(t);
    TdmClient module(std::move(setup));
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::thread timer([&] {
        while (!stop) {
            TNotify::Fields f = Notify.TakeForTimer();
            if (f.nfReady) seen += static_cast<int>(f.nfReturnList.size());
        }
    });
    for (int i = 0; i < kRequests; ++i) module.FileFromURL(L"host", L"/f", L"dest");
    auto end = std::chrono::steady_clock::now() + 10s;
    while (seen < kRequests && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
    stop = true;
    timer.join();
    EXPECT_EQ(seen, kRequests);
}

// The module's sync-server operations over the scripted transport, with the
// user-interface thread's events run by the test thread.
class SyncModule : public testing::Test {
protected:
    void SetUp() override {
        drive_ = std::filesystem::temp_directory_path() / ("bv-sync-" + std::to_string(::getpid()));
        std::filesystem::create_directories(drive_);
        fs::MapDrive(L'C', drive_.string());
        NewModule();
    }
    // A module with a transport of its own, so its first request opens a new
    // connection (and passes the transport's gate).
    void NewModule() {
        module.reset();
        auto t = std::make_unique<ScriptTransport>();
        transport = t.get();
        TdmClient::Setup setup;
        setup.transport = std::move(t);
        setup.handover = &pump;
        module = std::make_unique<TdmClient>(std::move(setup));
    }
    void TearDown() override {
        module.reset();
        std::filesystem::remove_all(drive_);
    }
    void WriteFile(const std::string& name, const std::string& bytes) {
        std::ofstream(drive_ / name, std::ios::binary) << bytes;
    }
    std::string ReadFile(const std::string& name) {
        if (!std::filesystem::exists(drive_ / name)) return "<missing>";
        std::ifstream in(drive_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> Folder() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(drive_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    void Script(std::deque<Step> steps) {
        std::lock_guard<std::mutex> lock(transport->mutex);
        transport->sent.clear(), transport->heads.clear(), transport->bodies.clear(), transport->written.clear();
        transport->steps = std::move(steps);
    }
    std::vector<std::wstring> WaitLines() {
        EXPECT_TRUE(WaitFor([] { return Notify.Read().nfReady; }, &pump));
        return Notify.Read().nfReturnList;
    }

    std::filesystem::path drive_;
    PumpedHandover pump;
    ScriptTransport* transport = nullptr;
    std::unique_ptr<TdmClient> module;
};

std::string HelloCallText() { return xmlrpc::WriteMethodCall(L"Hello", {xmlrpc::Value::String(L"Ann")}).value(); }

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

// The upload: its query, its head (PUT, Host without port, the file's size)
// and its body in blocks of at most 64000 bytes, whatever the answer's status.
TEST_F(SyncModule, UploadSendsTheFileInBlocks) {
    struct Case {
        size_t size;
        std::vector<size_t> blocks;
        int status;
    };
    for (const Case& c : {Case{0, {}, 200}, Case{64000, {64000}, 200}, Case{64001, {64000, 1}, 200},
                          Case{150000, {64000, 64000, 22000}, 500}}) {
        SCOPED_TRACE(c.size);
        const std::string bytes = Pattern(c.size);
        WriteFile("Herd 12.dat", bytes);
        {
            std::lock_guard<std::mutex> lock(transport->mutex);
            transport->sent.clear(), transport->heads.clear(), transport->bodies.clear(), transport->written.clear();
            Step answer;
            answer.status = c.status;
            answer.blocks = {"ignored"};
            transport->steps = {answer};
        }
        Notify.Init(NotifyCode::FileSent);
        module->UploadFile(L"7", L"12", L"C:\\Herd 12.dat");
        EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"Done, Status = " + std::to_wstring(c.status) + L" Reason"});
        std::lock_guard<std::mutex> lock(transport->mutex);
        ASSERT_EQ(transport->heads.size(), 1u);
        EXPECT_EQ(transport->sent[0], "/UPLOAD?file=Herd+12.dat&herdcode=12&clientid=7");
        EXPECT_EQ(transport->heads[0].method, L"PUT");
        EXPECT_EQ(transport->heads[0].contentLength, static_cast<int64_t>(c.size));
        EXPECT_EQ(transport->heads[0].headers, (std::vector<http::Header>{{L"Host", L"localhost"}}));
        EXPECT_EQ(transport->written, c.blocks);
        EXPECT_TRUE(transport->bodies[0] == bytes);
    }
}

// A file that cannot be opened is not sent and the connection is not opened.
TEST_F(SyncModule, UnopenableFileIsNotSent) {
    Notify.Init(NotifyCode::FileSent);
    module->UploadFile(L"7", L"12", L"C:\\missing.dat");
    EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"Not sent: C:\\missing.dat"});
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(transport->mutex);
    EXPECT_EQ(transport->opens, 0);
}

// A remote call whose connection breaks is sent again, the same document
// each time, at most twice more; its answer reaches the result handler.
TEST_F(SyncModule, RemoteCallIsSentAgainTwiceAtMost) {
    struct Case {
        const char* name;
        std::vector<Step::Kind> failures;
        std::vector<std::wstring> lines;
        size_t sent;
    };
    const std::string answer = xmlrpc::WriteMethodResponse(xmlrpc::Value::String(L"Hello, Ann")).value();
    for (const Case& c : {Case{"answer at once", {}, {L"Hello, Ann"}, 1},
                          Case{"broken twice", {Step::FailSend, Step::FailRead}, {L"Hello, Ann"}, 3},
                          Case{"broken three times", {Step::FailRead, Step::FailSend, Step::FailEnd},
                               {L"ResponseAbort"}, 3}}) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(transport->mutex);
            transport->sent.clear(), transport->heads.clear(), transport->bodies.clear();
            transport->steps.clear();
            for (Step::Kind kind : c.failures) {
                Step failing;
                failing.kind = kind;
                failing.blocks = {answer.substr(0, 20)};
                transport->steps.push_back(failing);
            }
            Step ok;
            ok.blocks = {answer.substr(0, 30), answer.substr(30)};
            transport->steps.push_back(ok);
        }
        Notify.Init(NotifyCode::Hello);
        ASSERT_TRUE(module->RemoteHello(L"Ann"));
        EXPECT_EQ(WaitLines(), c.lines);
        std::lock_guard<std::mutex> lock(transport->mutex);
        ASSERT_EQ(transport->sent.size(), c.sent);
        for (size_t i = 0; i < c.sent; ++i) {
            EXPECT_EQ(transport->sent[i], "/BVSYNC");
            EXPECT_EQ(transport->heads[i].method, L"POST");
            EXPECT_EQ(transport->heads[i].headers, (std::vector<http::Header>{{L"Content-Type", L"text/xml"}}));
            // The whole document each time, unless the head could not be sent.
            bool headFailed = i < c.failures.size() && c.failures[i] == Step::FailSend;
            EXPECT_EQ(transport->bodies[i], headFailed ? std::string() : HelloCallText());
        }
    }
}

// An answer with another status than 200 is not taken for the call's value,
// even when its body reads as one.
TEST_F(SyncModule, RemoteAnswerWithAnotherStatusIsAFault) {
    {
        std::lock_guard<std::mutex> lock(transport->mutex);
        Step answer;
        answer.status = 500;
        answer.blocks = {xmlrpc::WriteMethodResponse(xmlrpc::Value::String(L"Hello, Ann")).value()};
        transport->steps = {answer};
    }
    Notify.Init(NotifyCode::Hello);
    ASSERT_TRUE(module->RemoteHello(L"Ann"));
    EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"fault 0: status 500"});
}

// Downloads write into a partial file beside the destination and put it in
// place only when the answer is complete: after a cut, a failed status or a
// destination that is a device, the old file is as it was (the last column)
// and nothing is left beside it.
TEST_F(SyncModule, DownloadReplacesTheOldFileOnlyWhenComplete) {
    struct Case {
        const char* name;
        Step step;
        const char* dest;
        std::vector<std::wstring> lines;
        std::string file;  // the destination afterwards
    };
    Step whole, cut, notFound;
    whole.blocks = {"new ", "bytes"};
    cut.kind = Step::FailRead;
    cut.blocks = {"new ", "by"};
    notFound.status = 404;
    notFound.blocks = {"gone"};
    const std::string old = "old contents";
    for (const Case& c : {Case{"whole", whole, "file.bin", {L"Saved to C:\\file.bin"}, "new bytes"},
                          Case{"cut", cut, "file.bin", {L"ResponseAbort"}, old},
                          Case{"404", notFound, "file.bin", {L"Failed"}, old},
                          Case{"device name", whole, "NUL.txt", {L"Not saved: C:\\NUL.txt"}, "<missing>"}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(drive_);
        std::filesystem::create_directories(drive_);
        if (c.dest == std::string("file.bin")) WriteFile(c.dest, old);
        Script({c.step});
        Notify.Init(NotifyCode::Download);
        module->FileFromURL(L"example", L"/file.bin", L"C:\\" + std::wstring(c.dest, c.dest + strlen(c.dest)));
        EXPECT_EQ(WaitLines(), c.lines);
        EXPECT_EQ(ReadFile(c.dest), c.file);
        std::vector<std::string> left;
        if (c.file != "<missing>") left.push_back(c.dest);
        EXPECT_EQ(Folder(), left);
    }
}

// While the answer arrives the destination still holds the old file; the
// blocks are in the partial file. Closing the program in the middle removes
// the partial file and keeps the old one.
TEST_F(SyncModule, DuringADownloadTheOldFileStays) {
    WriteFile("file.bin", "old contents");
    Step stall;
    stall.kind = Step::Stall;
    stall.blocks = {"first block"};
    Script({stall});
    Notify.Init(NotifyCode::Download);
    module->FileFromURL(L"example", L"/file.bin", L"C:\\file.bin");
    ASSERT_TRUE(WaitFor([] { return Notify.Read().nfStatus == L"11 bytes"; }, &pump));
    EXPECT_EQ(ReadFile("file.bin"), "old contents");
    EXPECT_EQ(ReadFile("file.bin.part"), "first block");
    module.reset();
    EXPECT_EQ(ReadFile("file.bin"), "old contents");
    EXPECT_EQ(Folder(), std::vector<std::string>{"file.bin"});
}

// An upload is checked again when its turn comes: a file deleted, or grown
// past what a request can announce, after it was posted is not sent at all
// (an empty body would replace the server's copy); "Not sent: " and the
// ready flag. A file already too large is refused when posted.
TEST_F(SyncModule, UploadWhoseFileChangedBeforeItsTurnIsNotSent) {
    const uint64_t tooLarge = uint64_t(http::kMaxRequestBody) + 1;
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> meanwhile;
    };
    for (const Case& c : {Case{"deleted", [](const std::filesystem::path& f) { std::filesystem::remove(f); }},
                          Case{"grown to 4 GiB",
                               [&](const std::filesystem::path& f) { std::filesystem::resize_file(f, tooLarge); }}}) {
        SCOPED_TRACE(c.name);
        // A connection kept from the case before would not wait at the gate.
        NewModule();
        WriteFile("herd.dat", "contents");
        Script({});
        Notify.Init(NotifyCode::FileSent);
        {
            // The worker cannot open the connection until the file changed.
            std::lock_guard<std::mutex> held(transport->gate);
            module->UploadFile(L"7", L"12", L"C:\\herd.dat");
            c.meanwhile(drive_ / "herd.dat");
        }
        EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"Not sent: C:\\herd.dat"});
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> lock(transport->mutex);
        EXPECT_TRUE(transport->heads.empty());
        std::filesystem::remove(drive_ / "herd.dat");
    }
    WriteFile("big.dat", "");
    std::filesystem::resize_file(drive_ / "big.dat", tooLarge);
    Notify.Init(NotifyCode::FileSent);
    module->UploadFile(L"7", L"12", L"C:\\big.dat");
    EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"Not sent: C:\\big.dat"});
    std::lock_guard<std::mutex> lock(transport->mutex);
    EXPECT_TRUE(transport->heads.empty());
}

// A remote call's answer that runs past the answer cap is not read on: its
// handler gets a fault at once and the connection is closed under the rest;
// the next call opens a new one.
TEST_F(SyncModule, RemoteAnswerPastTheCapBreaksTheConnection) {
    Step endless;
    endless.kind = Step::Endless;
    Step hello;
    hello.blocks = {xmlrpc::WriteMethodResponse(xmlrpc::Value::String(L"Hello, Ann")).value()};
    Script({endless, hello});
    Notify.Init(NotifyCode::Hello);
    ASSERT_TRUE(module->RemoteHello(L"Ann"));
    EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"fault 0: answer larger than 67108864 bytes"});
    {
        std::lock_guard<std::mutex> lock(transport->mutex);
        EXPECT_GE(transport->endlessRead, int64_t(64) << 20);
        EXPECT_LE(transport->endlessRead, (int64_t(65) << 20));
    }
    Notify.Init(NotifyCode::Hello);
    ASSERT_TRUE(module->RemoteHello(L"Ann"));
    EXPECT_EQ(WaitLines(), std::vector<std::wstring>{L"Hello, Ann"});
    std::lock_guard<std::mutex> lock(transport->mutex);
    EXPECT_EQ(transport->opens, 2);
}

// How an answer's body ends, read from its headers: only plain digits make a
// length; differing lengths, or a length beside a transfer coding, make the
// answer broken.
TEST(HttpFraming, LengthIsPlainDigitsOnly) {
    struct Case {
        std::vector<http::Header> headers;
        int64_t length;  // -2: broken
        bool chunked;
    };
    const std::vector<Case> cases = {
        {{}, -1, false},
        {{{L"Content-Length", L"150"}}, 150, false},
        {{{L"content-length", L" 0 "}}, 0, false},
        {{{L"Content-Length", L"5"}, {L"Content-Length", L"5"}}, 5, false},
        {{{L"Transfer-Encoding", L"chunked"}}, -1, true},
        {{{L"Content-Length", L"1000"}, {L"Content-Length", L"10"}}, -2, false},
        {{{L"Content-Length", L"abc"}}, -2, false},
        {{{L"Content-Length", L"5abc"}}, -2, false},
        {{{L"Content-Length", L"+5"}}, -2, false},
        {{{L"Content-Length", L"-1"}}, -2, false},
        {{{L"Content-Length", L""}}, -2, false},
        {{{L"Content-Length", L"5, 5"}}, -2, false},
        {{{L"Content-Length", L"99999999999999999999"}}, -2, false},
        {{{L"Content-Length", L"5"}, {L"Transfer-Encoding", L"chunked"}}, -2, false},
        {{{L"Transfer-Encoding", L"chunked"}, {L"Content-Length", L"5"}}, -2, false},
    };
    for (const Case& c : cases) {
        Result<http::Framing> f = http::ReadFraming(c.headers);
        SCOPED_TRACE(c.headers.empty() ? std::string("none") : Narrow(c.headers[0].second));
        if (c.length == -2) {
            ASSERT_FALSE(f);
            EXPECT_EQ(f.error().code, http::kBroken);
        } else {
            ASSERT_TRUE(f);
            EXPECT_EQ(f.value().contentLength, c.length);
            EXPECT_EQ(f.value().chunked, c.chunked);
        }
    }
}

}  // namespace
}  // namespace bv
