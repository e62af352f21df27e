// The transfer client's background download under Wine, through the real
// internet API, against scripted servers on loopback, the real nginx of the
// end-to-end fixture and a proxy of the test's own. The test thread is the
// user-interface thread: it handles its messages, which run the download's
// events, and looks at the mailbox and the destination after each one.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/fs.h"
#include "tests/web/script_server.h"
#include "tests/wine_util.h"
#include "transfer/dmClient.h"
#include "util/log.h"
#include "transfer/notify.h"
#include "transfer/sync_requests.h"
#include "transfer/sync_results.h"
#include "transfer/xmlrpc.h"

namespace bv {
namespace {

using test::Answer;
using test::Pause;
using test::Reset;
using test::Script;
using test::ScriptServer;
using test::Send;

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string FileBytes(const std::wstring& path) {
    Result<std::string> bytes = fs::ReadFile(path);
    return bytes ? bytes.value() : "<missing>";
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string Narrow(const std::wstring& s) { return os::ToUtf8(s); }

std::string Body(size_t n) {
    std::string body;
    for (size_t i = 0; i < n; ++i) body.push_back(static_cast<char>('a' + i % 26));
    return body;
}

// One module for one test, with the log switched on into a fresh file.
class Client {
public:
    explicit Client(std::chrono::milliseconds inactivity = std::chrono::seconds(90),
                    std::unique_ptr<http::Transport> transport = nullptr) {
        ResetLogForTesting();
        DeepLogging = true;
        TdmClient::Setup setup;
        setup.transport = transport ? std::move(transport) : http::MakeSystemTransport();
        setup.inactivity = inactivity;
        module = std::make_unique<TdmClient>(std::move(setup));
        Notify.Init(NotifyCode::Download);
    }
    ~Client() {
        module.reset();
        DeepLogging = false;
        if (!LogFileName().empty()) (void)fs::RemoveFile(LogFileName());
        ResetLogForTesting();
    }

    void Fetch(const std::wstring& authority, const std::wstring& path, const std::wstring& dest) {
        module->FileFromURL(authority, path, dest);
    }

    // Handles messages until `lines` result lines are in and the ready flag
    // is up, or `ms` have passed; after every message notes the status, the
    // progress and the destination's size when they changed.
    bool Wait(size_t lines = 1, int ms = 20000, const std::wstring& watch = L"") {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            TNotify::Fields f = Notify.Read();
            if (f.nfReady && f.nfReturnList.size() >= lines) return true;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&msg);
                TNotify::Fields now = Notify.Read();
                if (statuses.empty() || statuses.back() != now.nfStatus) statuses.push_back(now.nfStatus);
                if (progress.empty() || progress.back() != now.nfProgress) progress.push_back(now.nfProgress);
                if (!watch.empty()) {
                    Result<uint64_t> size = fs::FileExists(watch) ? fs::OpenedFileSize(watch) : Result<uint64_t>(Error{});
                    int64_t s = size ? static_cast<int64_t>(size.value()) : -1;
                    if (sizes.empty() || sizes.back() != s) sizes.push_back(s);
                }
            }
        }
        return false;
    }

    std::vector<std::wstring> Lines() const { return Notify.Read().nfReturnList; }

    // The log's texts without their stamps.
    std::string Log() const { return LogFileName().empty() ? std::string() : ReadText(LogFileName()); }
    int Count(const std::string& text) const {
        std::string log = Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    std::unique_ptr<TdmClient> module;
    std::vector<std::wstring> statuses;
    std::vector<int> progress;
    std::vector<int64_t> sizes;
};

std::wstring Local(const ScriptServer& server) { return L"127.0.0.1:" + std::to_wstring(server.port()); }

class Transfer : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(std::filesystem::path(Folder()));
        ASSERT_TRUE(fs::ForceDirectories(Folder()));
    }
    void TearDown() override { std::filesystem::remove_all(std::filesystem::path(Folder())); }
    static std::wstring Folder() { return L"C:\\bvtransfer-" + std::to_wstring(GetCurrentProcessId()); }
    static std::wstring Dest(const wchar_t* name = L"file.bin") { return Folder() + L"\\" + name; }
};

// Answers that complete: what the mailbox, the log and the file show.
TEST_F(Transfer, CompleteAnswers) {
    const std::string body150 = Body(150);
    struct Case {
        const char* name;
        Script script;
        std::vector<std::wstring> lines;
        std::string file;             // the destination afterwards
        std::vector<int64_t> sizes;   // the destination's size after each change (the old file until the end)
        std::vector<std::wstring> statuses;
        std::vector<int> progress;    // nfProgress after each change
        int notDone;                  // "not done" log lines
        const char* notDoneLength;    // their Content-Length
    };
    const std::wstring saved = L"Saved to " + Dest();
    Script closeDelimited{Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"), Send(body150.substr(0, 70)), Pause(200),
                          Send(body150.substr(70))};
    std::vector<Case> cases = {
        {"blocks of 50, 60 and 40", {Send("HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n" + body150.substr(0, 50)),
                                     Pause(300), Send(body150.substr(50, 60)), Pause(300), Send(body150.substr(110))},
         {saved}, body150, {20, 150}, {L"", L"50 bytes", L"110 bytes", L"150 bytes"}, {0, 33, 73}, 2, "= 150"},
        {"Content-Length 0", Answer("200 OK", {}, ""), {saved}, "", {20, 0}, {L"", L"0 bytes"}, {0}, 0, ""},
        {"no Content-Length", closeDelimited, {saved}, body150, {20, 150}, {L"", L"70 bytes", L"150 bytes"}, {0}, 2,
         "= 0"},
        {"one block", Answer("200 OK", {}, "just one"), {saved}, "just one", {20, 8}, {L"", L"8 bytes"}, {0}, 0, ""},
        {"404 leaves the old file", Answer("404 Not Found", {}, "gone"), {L"Failed"}, "old contents, longer", {20},
         {L""}, {0}, 0, ""},
        {"302 is not followed", Answer("302 Found", {"Location: /elsewhere"}, ""), {L"Failed"},
         "old contents, longer", {20}, {L""}, {0}, 0, ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(fs::WriteFile(Dest(), "old contents, longer"));
        ScriptServer server({c.script});
        Client client;
        client.Fetch(Local(server), L"/dir/file.bin", Dest());
        ASSERT_TRUE(client.Wait(1, 20000, Dest()));
        EXPECT_EQ(client.Lines(), c.lines);
        EXPECT_EQ(FileBytes(Dest()), c.file);
        EXPECT_EQ(client.sizes, c.sizes);
        EXPECT_EQ(client.statuses, c.statuses);
        EXPECT_EQ(client.progress, c.progress);
        EXPECT_EQ(client.Count("drFileFromServerDataReceived, not done, contentlength "), c.notDone);
        if (c.notDone) {
            EXPECT_EQ(client.Count(std::string("not done, contentlength ") + c.notDoneLength), c.notDone);
        }
        EXPECT_EQ(server.connections(), 1);
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].rfind("GET /dir/file.bin HTTP/1.1\r\n", 0), 0u) << server.requests()[0];
        EXPECT_EQ(client.Count("drFileFromServerDataReceived, Status: "), 1);
        EXPECT_EQ(client.Count("Connecting..."), 1);
        if (c.lines[0] == saved) {
            EXPECT_EQ(client.Count("drFileFromServerDataReceived, done, " + Narrow(saved)), 1);
        }
        else EXPECT_EQ(client.Count("drFileFromServerDataReceived, failed."), 1);
    }
}

// Connections that fail: every request ends in one "ResponseAbort", in order;
// those behind a failed one are never sent; a 200 cut off leaves no file.
TEST_F(Transfer, FailedConnections) {
    struct Case {
        const char* name;
        std::wstring authority;   // empty: the scripted server
        Script script;
        int requests;             // downloads posted at once
        std::string file;         // what the first destination holds afterwards
        int reached;              // requests the server saw
    };
    const uint16_t refused = ScriptServer::UnusedPort();
    const std::string body = Body(150);
    std::vector<Case> cases = {
        {"refused port", L"127.0.0.1:" + std::to_wstring(refused), {}, 1, "<missing>", 0},
        {"host that does not resolve", L"no-such-host.invalid", {}, 1, "<missing>", 0},
        {"two queued, the first broken", L"", {Reset()}, 2, "<missing>", 1},
        {"200 cut off", L"", {Send("HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n" + body.substr(0, 50)), Pause(300),
                              Reset()}, 1, "<missing>", 1},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        (void)fs::RemoveFile(Dest(L"a.bin"));
        (void)fs::RemoveFile(Dest(L"b.bin"));
        ScriptServer server({c.script});
        Client client;
        std::wstring authority = c.authority.empty() ? Local(server) : c.authority;
        client.Fetch(authority, L"/a.bin", Dest(L"a.bin"));
        if (c.requests > 1) client.Fetch(authority, L"/b.bin", Dest(L"b.bin"));
        ASSERT_TRUE(client.Wait(static_cast<size_t>(c.requests), 30000));
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>(static_cast<size_t>(c.requests), L"ResponseAbort"));
        EXPECT_EQ(client.Count("Connection failed"), c.requests);
        EXPECT_EQ(client.Count("Saved to"), 0);
        EXPECT_EQ(FileBytes(Dest(L"a.bin")), c.file);
        EXPECT_FALSE(fs::FileExists(Dest(L"b.bin")));
        if (c.authority.empty()) {
            EXPECT_EQ(static_cast<int>(server.requests().size()), c.reached);
        }
    }
}

// Answers that are cut, broken or hostile: none is "Saved to ", none leaves
// anything beside the destination, and the old file survives every one of
// them (the last column). A whole chunked body and a repeated equal length
// are the controls that still save.
TEST_F(Transfer, HostileAnswers) {
    const std::string old = "old contents, longer";
    const std::string body = Body(1300);
    auto chunk = [](const std::string& bytes) {
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", bytes.size());
        return size + bytes + "\r\n";
    };
    auto headerLines = [](int n) {
        std::string lines;
        for (int i = 0; i < n; ++i) lines += "X-Filler-" + std::to_string(i) + ": some value here\r\n";
        return lines;
    };
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    struct Case {
        const char* name;
        Script script;
        const wchar_t* dest;     // the destination's name
        std::wstring line;       // the mailbox's one line
        int seconds;             // the most it may take
        std::string file;        // the destination afterwards
    };
    const std::wstring abort = L"ResponseAbort";
    std::vector<Case> cases = {
        {"cut after 50 of 150", {Send("HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n" + body.substr(0, 50)),
                                 Pause(300), Reset()}, L"file.bin", abort, 10, old},
        {"cut after the head", {Send("HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n"), Pause(300), Reset()},
         L"file.bin", abort, 10, old},
        {"lengths 1000 then 10", {Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Length: 10\r\n\r\n" +
                                       body.substr(0, 1000))}, L"file.bin", abort, 10, old},
        {"length abc", {Send("HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\n" +
                             body.substr(0, 20))}, L"file.bin", abort, 10, old},
        {"length 5abc", {Send("HTTP/1.1 200 OK\r\nContent-Length: 5abc\r\nConnection: close\r\n\r\n" +
                              body.substr(0, 20))}, L"file.bin", abort, 10, old},
        {"length +5", {Send("HTTP/1.1 200 OK\r\nContent-Length: +5\r\nConnection: close\r\n\r\n" +
                            body.substr(0, 20))}, L"file.bin", abort, 10, old},
        {"length beside chunked", {Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                        chunk(body.substr(0, 400)) + "0\r\n\r\n")}, L"file.bin", abort, 10, old},
        {"chunked cut before its last chunk", {Send(chunked + "\r\n" + chunk(body.substr(0, 400))), Pause(300),
                                               Send("384\r\n" + body.substr(400, 300))},
         L"file.bin", abort, 10, old},
        {"3000 header lines", {Send("HTTP/1.1 200 OK\r\n" + headerLines(3000) + "Content-Length: 5\r\n\r\nfresh")},
         L"file.bin", abort, 5, old},
        {"8192 header lines", {Send("HTTP/1.1 200 OK\r\n" + headerLines(8192) + "Content-Length: 5\r\n\r\nfresh")},
         L"file.bin", abort, 10, old},
        {"device name as destination", Answer("200 OK", {}, "fresh"), L"NUL.txt", L"Not saved: " + Dest(L"NUL.txt"),
         10, "<missing>"},
        {"chunked, whole", {Send(chunked + "\r\n" + chunk(body.substr(0, 400)) + chunk(body.substr(400)) + "0\r\n\r\n")},
         L"file.bin", L"Saved to " + Dest(), 10, body},
        {"chunked, whole, the server stays", {Send(chunked + "\r\n" + chunk(body.substr(0, 400)) + chunk(body.substr(400)) +
                                                   "0\r\n\r\n"), Pause(1000)},
         L"file.bin", L"Saved to " + Dest(), 10, body},
        {"the same length twice", {Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nfresh")},
         L"file.bin", L"Saved to " + Dest(), 10, "fresh"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring dest = Dest(c.dest);
        if (c.dest == std::wstring(L"file.bin")) {
            ASSERT_TRUE(fs::WriteFile(dest, old));
        }
        ScriptServer server({c.script});
        Client client;
        auto start = std::chrono::steady_clock::now();
        client.Fetch(Local(server), L"/file.bin", dest);
        ASSERT_TRUE(client.Wait(1, 120000));
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>{c.line});
        EXPECT_LT(took, std::chrono::seconds(c.seconds));
        EXPECT_EQ(client.Count("Saved to"), c.line.rfind(L"Saved to ", 0) == 0 ? 1 : 0);
        if (c.dest == std::wstring(L"file.bin")) {
            EXPECT_EQ(FileBytes(dest), c.file);
        }
        std::vector<std::wstring> left;
        for (const fs::DirEntry& entry : fs::ListDirectory(Folder())) left.push_back(entry.name);
        std::vector<std::wstring> expected;
        if (c.dest == std::wstring(L"file.bin")) expected.push_back(L"file.bin");
        EXPECT_EQ(left, expected);
        client.module.reset();
        (void)fs::RemoveFile(Dest());
    }
}

// A cookie the server sets never goes back to it: the connection's requests
// carry no cookies or credentials.
TEST_F(Transfer, NoCookieGoesBack) {
    ScriptServer server({Answer("200 OK", {"Set-Cookie: session=secret; Path=/"}, "one"), Answer("200 OK", {}, "two")});
    Client client;
    client.Fetch(Local(server), L"/one", Dest(L"one"));
    client.Fetch(Local(server), L"/two", Dest(L"two"));
    ASSERT_TRUE(client.Wait(2));
    EXPECT_EQ(client.Lines(), (std::vector<std::wstring>{L"Saved to " + Dest(L"one"), L"Saved to " + Dest(L"two")}));
    ASSERT_EQ(server.requests().size(), 2u);
    for (const std::string& request : server.requests()) EXPECT_EQ(request.find("Cookie"), std::string::npos) << request;
}

// A host that never answers (its queue of pending connections is full): the
// request ends with its abort within the 10-second connect timeout.
TEST_F(Transfer, ConnectTimeoutAgainstAHostThatNeverAnswers) {
    test::FullListener silent;
    ASSERT_TRUE(fs::WriteFile(Dest(), "old"));
    Client client;
    auto start = std::chrono::steady_clock::now();
    client.Fetch(L"127.0.0.1:" + std::to_wstring(silent.port()), L"/file.bin", Dest());
    ASSERT_TRUE(client.Wait(1, 60000));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"ResponseAbort"});
    EXPECT_GE(took, std::chrono::milliseconds(9500));
    EXPECT_LT(took, std::chrono::milliseconds(13000));
    EXPECT_EQ(FileBytes(Dest()), "old");
}

// Two downloads in a row: the second request reaches the server only after
// the first answer is complete, on a new connection once the server closed
// the first one.
TEST_F(Transfer, TwoInARowAfterTheServerClosed) {
    const std::string body = Body(300);
    ScriptServer server({Answer("200 OK", {"Connection: close"}, body, 100, 300), Answer("200 OK", {}, "second")});
    Client client;
    client.Fetch(Local(server), L"/one", Dest(L"one"));
    client.Fetch(Local(server), L"/two", Dest(L"two"));
    ASSERT_TRUE(client.Wait(2));
    EXPECT_EQ(client.Lines(), (std::vector<std::wstring>{L"Saved to " + Dest(L"one"), L"Saved to " + Dest(L"two")}));
    EXPECT_EQ(FileBytes(Dest(L"one")), body);
    EXPECT_EQ(FileBytes(Dest(L"two")), "second");
    ASSERT_EQ(server.connections(), 2);
    ASSERT_EQ(server.acceptTimes().size(), 2u);
    EXPECT_GE(server.acceptTimes()[1], server.acceptTimes()[0] + 550);  // two pauses of 300 ms came first
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].rfind("GET /two HTTP/1.1", 0), 0u);
}

// An answer that stalls longer than the inactivity timeout is aborted.
TEST_F(Transfer, StallBeyondTheInactivityTimeout) {
    const std::string body = Body(100);
    ScriptServer server({{Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + body.substr(0, 40)), Pause(5000),
                          Send(body.substr(40))}});
    Client client(std::chrono::milliseconds(1000));
    auto start = std::chrono::steady_clock::now();
    client.Fetch(Local(server), L"/slow", Dest());
    ASSERT_TRUE(client.Wait(1, 8000));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"ResponseAbort"});
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    EXPECT_EQ(FileBytes(Dest()), "<missing>");
    EXPECT_FALSE(fs::FileExists(Dest() + L".part"));
    EXPECT_EQ(client.Count("inactivity timeout"), 1);
}

// A destination that cannot be written, or whose old file cannot be
// deleted, is reported as not saved (with the reason in the log), and the
// ready flag still goes up.
TEST_F(Transfer, UnwritableDestinationIsNotSaved) {
    struct Case {
        const char* name;
        std::wstring dest;
        bool holdOpen;
    };
    std::vector<Case> cases = {
        {"folder missing", Folder() + L"\\no-such-folder\\file.bin", false},
        {"old file held open", Dest(), true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.holdOpen) {
            ASSERT_TRUE(fs::WriteFile(c.dest, "old"));
            held = CreateFileW(c.dest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        ScriptServer server({Answer("200 OK", {}, Body(100), 50, 100)});
        Client client;
        client.Fetch(Local(server), L"/file.bin", c.dest);
        ASSERT_TRUE(client.Wait());
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"Not saved: " + c.dest});
        EXPECT_EQ(client.Count("drFileFromServerDataReceived, not saved, " + Narrow(c.dest) + ": "), 1);
        EXPECT_EQ(client.Count("Saved to"), 0);
        if (c.holdOpen) {
            EXPECT_EQ(FileBytes(c.dest), "old");
        }
    }
}

// No request posted: the connection is never opened, no event runs.
TEST_F(Transfer, NoRequestNoConnection) {
    Client client;
    client.module.reset();
    for (const char* line : {"Connecting...", "ConnectError", "ConnectFail", "Connection failed", "opening"})
        EXPECT_EQ(client.Count(line), 0) << line;
}

// Closing with a download in flight against a server that stopped answering:
// the abort, the join and the module's end take well under a second.
TEST_F(Transfer, ShutdownWithARequestInFlight) {
    ScriptServer server({{Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"), Pause(20000)}});
    Client client;
    client.Fetch(Local(server), L"/stuck", Dest());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Notify.Read().nfStatus.empty() && std::chrono::steady_clock::now() < end) client.Wait(1, 50);
    ASSERT_EQ(Notify.Read().nfStatus, L"10 bytes");
    auto start = std::chrono::steady_clock::now();
    client.module.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// Against the real nginx of the end-to-end fixture.
#ifdef BV_E2E_DIR
std::wstring NginxAuthority() {
    std::string port = ReadText(std::filesystem::path(test::HostToWine(BV_E2E_DIR)) / "main.port");
    port.erase(port.find_last_not_of("\r\n ") + 1);
    return L"127.0.0.1:" + Wide(port);
}

TEST_F(Transfer, RealServer) {
    std::wstring site = test::HostToWine(BV_E2E_DIR) + L"\\main-site\\bvfiles\\bvstartup\\";
    Client client;
    client.Fetch(NginxAuthority(), L"/bvfiles/bvstartup/bvlang.pol", Dest(L"bvlang.pol"));
    client.Fetch(NginxAuthority(), L"/bvfiles/bvstartup/no-such-file", Dest(L"none"));
    ASSERT_TRUE(client.Wait(2));
    EXPECT_EQ(client.Lines(), (std::vector<std::wstring>{L"Saved to " + Dest(L"bvlang.pol"), L"Failed"}));
    EXPECT_EQ(FileBytes(Dest(L"bvlang.pol")), FileBytes(site + L"bvlang.pol"));
    EXPECT_FALSE(fs::FileExists(Dest(L"none")));
    // One kept-alive connection served both.
    EXPECT_EQ(client.Count("Connecting..."), 1);
}

// A large file streams in large blocks, each written at its offset.
TEST_F(Transfer, RealServerLargeFile) {
    std::wstring site = test::HostToWine(BV_E2E_DIR) + L"\\main-site\\bvfiles\\bvstartup\\";
    std::string big(5 * 1024 * 1024 + 123, '\0');
    uint32_t x = 12345;
    for (char& c : big) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const std::wstring source = site + L"transfer-large.bin";
    ASSERT_TRUE(fs::WriteFile(source, big));
    Client client;
    client.Fetch(NginxAuthority(), L"/bvfiles/bvstartup/transfer-large.bin", Dest(L"large.bin"));
    ASSERT_TRUE(client.Wait(1, 60000));
    (void)fs::RemoveFile(source);
    EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"Saved to " + Dest(L"large.bin")});
    EXPECT_TRUE(FileBytes(Dest(L"large.bin")) == big);
    EXPECT_EQ(Notify.Read().nfStatus, std::to_wstring(big.size()) + L" bytes");
}
#endif

// With a proxy in the internet settings, a host that does not resolve is
// asked for through the proxy, which sees the absolute URL.
class ProxySettings {
public:
    explicit ProxySettings(uint16_t port) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        hadEnable_ = Read(L"ProxyEnable", enable_);
        hadServer_ = Read(L"ProxyServer", server_);
        DWORD one = 1;
        RegSetValueExW(key_, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one);
        std::wstring server = L"127.0.0.1:" + std::to_wstring(port);
        RegSetValueExW(key_, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
    }
    ~ProxySettings() {
        Restore(L"ProxyEnable", hadEnable_, enable_, REG_DWORD);
        Restore(L"ProxyServer", hadServer_, server_, REG_SZ);
        RegCloseKey(key_);
    }

private:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    bool Read(const wchar_t* name, std::vector<BYTE>& data) {
        DWORD size = 0;
        if (RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
        data.resize(size);
        return RegQueryValueExW(key_, name, nullptr, nullptr, data.data(), &size) == ERROR_SUCCESS;
    }
    void Restore(const wchar_t* name, bool had, const std::vector<BYTE>& data, DWORD type) {
        if (had)
            RegSetValueExW(key_, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
        else
            RegDeleteValueW(key_, name);
    }
    HKEY key_ = nullptr;
    bool hadEnable_ = false, hadServer_ = false;
    std::vector<BYTE> enable_, server_;
};

TEST_F(Transfer, ThroughTheConfiguredProxy) {
    ScriptServer proxy({Answer("200 OK", {}, "from the proxy")});
    std::vector<std::wstring> lines;
    {
        ProxySettings settings(proxy.port());
        Client client;  // the internet API reads the settings when opened
        client.Fetch(L"no-such-host.invalid", L"/bvfiles/bvstartup/bvlang.pol", Dest());
        ASSERT_TRUE(client.Wait());
        lines = client.Lines();
    }
    EXPECT_EQ(lines, std::vector<std::wstring>{L"Saved to " + Dest()});
    EXPECT_EQ(FileBytes(Dest()), "from the proxy");
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0].rfind("GET http://no-such-host.invalid", 0), 0u) << proxy.requests()[0];
    EXPECT_NE(proxy.requests()[0].find("/bvfiles/bvstartup/bvlang.pol HTTP/1.1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace bv

namespace bv {
namespace {

struct ProcessRun {
    DWORD exitCode = 999;
    std::string out;
};

// Runs bvsync.exe with `args`; answers its exit status and standard output.
ProcessRun RunBvsync(const std::wstring& args, const std::wstring& folder = L"") {
    ProcessRun run;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd = L"\"" + test::HostToWine(BVSYNC_EXE_PATH) + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  folder.empty() ? nullptr : folder.c_str(), &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return run;
    }
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) run.out.append(buffer, n);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, 30000);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

// bvsync prints the mailbox's result lines and exits with their outcome.
TEST_F(Transfer, BvsyncFetch) {
    ScriptServer server({Answer("200 OK", {}, "payload"), Answer("404 Not Found", {}, "no")});
    const uint16_t refused = ScriptServer::UnusedPort();
    const std::string dest = Narrow(Dest(L"fetched.bin"));
    const std::string port = std::to_string(server.port());
    struct Case {
        std::string args;
        DWORD exitCode;
        std::string out;
    };
    std::vector<Case> cases = {
        {"fetch http://127.0.0.1:" + port + "/f " + dest, 0, "Saved to " + dest + "\n"},
        {"fetch http://127.0.0.1:" + port + "/f " + dest, 1, "Failed\n"},
        {"-L fetch http://127.0.0.1:" + std::to_string(refused) + "/f " + dest, 3, "ResponseAbort\n"},
        {"", 2, ""},
        {"fetch ftp://127.0.0.1/f " + dest, 2, ""},
        {"fetch http://127.0.0.1:99999/f " + dest, 2, ""},
        {"fetch http://127.0.0.1/f", 2, ""},
        {"send http://127.0.0.1/f " + dest, 2, ""},
        {"--bogus fetch http://127.0.0.1/f " + dest, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ProcessRun run = RunBvsync(Wide(c.args));
        EXPECT_EQ(run.exitCode, c.exitCode);
        std::string out = run.out;
        for (size_t at; (at = out.find('\r')) != std::string::npos;) out.erase(at, 1);
        EXPECT_EQ(out, c.out);
    }
    EXPECT_EQ(FileBytes(Dest(L"fetched.bin")), "payload");
}

}  // namespace
}  // namespace bv

namespace bv {
namespace {

// The program closed while its maintenance download waits on a server that
// stopped answering ends within a second.
TEST_F(Transfer, ProgramClosesWithADownloadInFlight) {
    ScriptServer server({{Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"), Pause(20000)}});
    std::wstring cmd = L"\"" + test::HostToWine(BVSTARTUP_EXE_PATH) + L"\" -D --vendor-host=127.0.0.1:" +
                       std::to_wstring(server.port());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, Folder().c_str(), &si, &pi));
    HWND main = nullptr;
    for (int i = 0; i < 300 && !main; ++i) {
        Sleep(50);
        main = test::FindProcessWindow(pi.dwProcessId, L"BVStartupMain");
    }
    // The maintenance page's "ClientGet" button.
    struct Search {
        HWND found = nullptr;
    } search;
    if (main)
        EnumChildWindows(
            main,
            [](HWND hwnd, LPARAM lp) -> BOOL {
                wchar_t text[32] = L"";
                GetWindowTextW(hwnd, text, 32);
                if (std::wstring(text) != L"ClientGet") return TRUE;
                reinterpret_cast<Search*>(lp)->found = hwnd;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
    HWND button = search.found;
    EXPECT_NE(button, nullptr);
    if (button) PostMessageW(button, BM_CLICK, 0, 0);
    for (int i = 0; i < 200 && server.requests().empty(); ++i) Sleep(25);
    EXPECT_EQ(server.requests().size(), 1u);
    Sleep(300);  // the first bytes are in; the rest never come
    auto start = std::chrono::steady_clock::now();
    if (main) PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD waited = WaitForSingleObject(pi.hProcess, 10000);
    auto took = std::chrono::steady_clock::now() - start;
    if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// ---- Sync-server operations ----

// The system's internet API, with what the module asks of it noted: the
// server each connection is opened to and the size of every body block.
class NotingTransport : public http::Transport {
public:
    struct Notes {
        std::mutex mutex;
        std::vector<std::wstring> opened;  // "host:port"
        std::vector<size_t> blocks;
    };
    explicit NotingTransport(std::shared_ptr<Notes> notes) : notes_(std::move(notes)) {}

    Result<std::unique_ptr<http::Connection>> Open(const std::wstring& host, uint16_t port) override {
        {
            std::lock_guard<std::mutex> lock(notes_->mutex);
            notes_->opened.push_back(host + L":" + std::to_wstring(port));
        }
        Result<std::unique_ptr<http::Connection>> inner = system_->Open(host, port);
        if (!inner) return inner.error();
        return std::unique_ptr<http::Connection>(std::make_unique<Conn>(std::move(inner.value()), notes_));
    }

private:
    class Conn : public http::Connection {
    public:
        Conn(std::unique_ptr<http::Connection> inner, std::shared_ptr<Notes> notes)
            : inner_(std::move(inner)), notes_(std::move(notes)) {}
        Result<void> SendHead(const http::RequestHead& head) override { return inner_->SendHead(head); }
        Result<void> WriteBody(const void* data, size_t size) override {
            {
                std::lock_guard<std::mutex> lock(notes_->mutex);
                notes_->blocks.push_back(size);
            }
            return inner_->WriteBody(data, size);
        }
        Result<http::ResponseHead> EndRequest() override { return inner_->EndRequest(); }
        Result<size_t> ReadBody(void* buffer, size_t size) override { return inner_->ReadBody(buffer, size); }
        bool Alive() override { return inner_->Alive(); }
        void Abort() override { inner_->Abort(); }

    private:
        std::unique_ptr<http::Connection> inner_;
        std::shared_ptr<Notes> notes_;
    };
    std::unique_ptr<http::Transport> system_ = http::MakeSystemTransport();
    std::shared_ptr<Notes> notes_;
};

// The request's head and body as the server got them.
struct Seen {
    std::string line, head, body;
};
Seen Split(const std::string& request) {
    Seen seen;
    size_t end = request.find("\r\n\r\n");
    seen.head = request.substr(0, end);
    seen.line = request.substr(0, request.find("\r\n"));
    if (end != std::string::npos) seen.body = request.substr(end + 4);
    return seen;
}

bool HasHeader(const std::string& head, const std::string& line) {
    return head.find("\r\n" + line + "\r\n") != std::string::npos || head.ends_with("\r\n" + line);
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = static_cast<uint32_t>(n);
    for (char& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

// An upload: the request line, Host without the port, the file's size as
// Content-Length, the file's bytes as the body in blocks of at most 64000,
// and the log's lines.
TEST_F(Transfer, UploadInBlocks) {
    struct Case {
        size_t size;
        std::vector<size_t> blocks;
    };
    for (const Case& c : {Case{0, {}}, Case{64000, {64000}}, Case{64001, {64000, 1}},
                          Case{150000, {64000, 64000, 22000}}}) {
        SCOPED_TRACE(c.size);
        const std::wstring file = Dest(L"Herd 12.dat");
        const std::string bytes = Pattern(c.size);
        ASSERT_TRUE(fs::WriteFile(file, bytes));
        ScriptServer server({Answer("200 OK", {}, "stored")});
        auto notes = std::make_shared<NotingTransport::Notes>();
        Client client(std::chrono::seconds(90), std::make_unique<NotingTransport>(notes));
        client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
        Notify.Init(NotifyCode::FileSent);
        client.module->UploadFile(L"7", L"12", file);
        ASSERT_TRUE(client.Wait());
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"Done, Status = 200 OK"});
        ASSERT_EQ(server.requests().size(), 1u);
        Seen seen = Split(server.requests()[0]);
        EXPECT_EQ(seen.line, "PUT /UPLOAD?file=Herd+12.dat&herdcode=12&clientid=7 HTTP/1.1");
        EXPECT_TRUE(HasHeader(seen.head, "Host: 127.0.0.1")) << seen.head;
        EXPECT_TRUE(HasHeader(seen.head, "Content-Length: " + std::to_string(c.size))) << seen.head;
        EXPECT_TRUE(seen.body == bytes) << seen.body.size();
        {
            std::lock_guard<std::mutex> lock(notes->mutex);
            EXPECT_EQ(notes->blocks, c.blocks);
        }
        for (const std::string& line : std::vector<std::string>{"UploadFile, about to post Herd+12.dat, 12, 7 \r\n", "UploadFile, posted.",
              "drFileToServerBeginRequest beginning PUT for 127.0.0.1", "drFileToServerBeginRequest RequestInfo = " +
              Narrow(file), "drFileToServerBeginRequest complete.", "drFileToServerDataReceived, Beginning wait for server.",
              "drFileToServerDataReceived, Status = Done, Status = 200 OK"})
            EXPECT_EQ(client.Count(line), 1) << line;
    }
}

// The query's values escaped (herd code and client id the same way as the
// name, so "&" in them stays inside the value), and any status reported.
TEST_F(Transfer, UploadQueryAndStatus) {
    struct Case {
        std::wstring name, herd, client;
        std::string status;
        std::string line;
        std::wstring result;
    };
    std::vector<Case> cases = {
        {L"Herd 12 (A&B).txt", L"12", L"7", "200 OK", "PUT /UPLOAD?file=Herd+12+(A%26B).txt&herdcode=12&clientid=7",
         L"Done, Status = 200 OK"},
        {L"K\u00e4lber \u00fcber.dat", L"H1", L"C2", "201 Created",
         "PUT /UPLOAD?file=K%C3%A4lber+%C3%BCber.dat&herdcode=H1&clientid=C2", L"Done, Status = 201 Created"},
        {L"a=b;c.txt", L"12&clientid=99", L"7 8", "500 Internal Server Error",
         "PUT /UPLOAD?file=a%3Db%3Bc.txt&herdcode=12%26clientid%3D99&clientid=7+8",
         L"Done, Status = 500 Internal Server Error"},
        {L"$(),-.@_.dat", L"x*", L"y", "404 Not Found", "PUT /UPLOAD?file=$(),-.@_.dat&herdcode=x*&clientid=y",
         L"Done, Status = 404 Not Found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::wstring file = Dest(c.name.c_str());
        ASSERT_TRUE(fs::WriteFile(file, "abc"));
        ScriptServer server({Answer(c.status, {}, "answer body")});
        Client client;
        client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
        Notify.Init(NotifyCode::FileSent);
        client.module->UploadFile(c.client, c.herd, file);
        ASSERT_TRUE(client.Wait());
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>{c.result});
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(Split(server.requests()[0]).line, c.line + " HTTP/1.1");
        EXPECT_EQ(Split(server.requests()[0]).body, "abc");
    }
}

// A file that cannot be opened: "Not sent: ", nothing reaches the server.
TEST_F(Transfer, UploadOfAFileThatCannotBeOpened) {
    ScriptServer server({Answer("200 OK", {}, "")});
    Client client;
    client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
    Notify.Init(NotifyCode::FileSent);
    client.module->UploadFile(L"7", L"12", Dest(L"missing.dat"));
    ASSERT_TRUE(client.Wait());
    EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"Not sent: " + Dest(L"missing.dat")});
    Sleep(200);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(client.Count("Connecting..."), 0);
}

// The fetch for a herd and client: its query, the file into IncomingFolder +
// the path; before any FileFromURL it goes to localhost port 6060.
TEST_F(Transfer, FileFromServer) {
    ScriptServer server({Answer("200 OK", {}, "herd file")});
    {
        Client client;
        client.module->IncomingFolder = Folder();
        client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
        client.module->FileFromServer(L"7", L"12&x", L"/herd.dat");
        ASSERT_TRUE(client.Wait());
        EXPECT_EQ(client.Lines(), std::vector<std::wstring>{L"Saved to /herd.dat"});
        EXPECT_EQ(Split(server.requests().at(0)).line, "GET /herd.dat?herdcode=12%26x&clientid=7 HTTP/1.1");
        EXPECT_EQ(FileBytes(Folder() + L"/herd.dat"), "herd file");
        EXPECT_EQ(client.Count("FileFromServer, about to post /herd.dat, 12&x, 7 \r\n"), 1);
        EXPECT_EQ(client.Count("FileFromServer, posted."), 1);
    }
    auto notes = std::make_shared<NotingTransport::Notes>();
    {
        Client client(std::chrono::seconds(90), std::make_unique<NotingTransport>(notes));
        client.module->IncomingFolder = Folder();
        client.module->FileFromServer(L"7", L"12", L"/first.dat");
        ASSERT_TRUE(client.Wait(1, 30000));
    }
    std::lock_guard<std::mutex> lock(notes->mutex);
    EXPECT_EQ(notes->opened, std::vector<std::wstring>{L"localhost:6060"});
}

std::string Response(const xmlrpc::Value& v) { return xmlrpc::WriteMethodResponse(v).value(); }
xmlrpc::Value FileRecord(const std::wstring& name, xmlrpc::DateTime date) {
    return xmlrpc::Value::Struct({{L"filename", xmlrpc::Value::String(name)}, {L"filedate", xmlrpc::Value::Date(date)}});
}

// A remote call: a POST of the call to /BVSYNC as text/xml; sent again when
// its connection breaks, at most twice more.
TEST_F(Transfer, RemoteCallIsSentAgainTwiceAtMost) {
    const std::string answer = Response(xmlrpc::Value::String(L"Hello, Ann"));
    // The answer's head, part of its body, then the connection breaks.
    const Script broken = {Send("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<?xml"), Pause(200), Reset()};
    // Closed at once, without a byte of an answer.
    const Script closed = {Reset()};
    struct Case {
        const char* name;
        std::vector<Script> scripts;
        std::vector<std::wstring> lines;
        size_t requests;
    };
    std::vector<Case> cases = {
        {"broken twice", {closed, broken, Answer("200 OK", {"Content-Type: text/xml"}, answer)}, {L"Hello, Ann"}, 3},
        {"broken three times", {broken}, {L"ResponseAbort"}, 3},
        {"closed without an answer three times", {closed}, {L"ResponseAbort"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptServer server(c.scripts);
        Client client;
        client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
        Notify.Init(NotifyCode::Hello);
        ASSERT_TRUE(client.module->RemoteHello(L"Ann"));
        ASSERT_TRUE(client.Wait(1, 30000));
        Sleep(300);  // nothing more comes
        EXPECT_EQ(client.Lines(), c.lines) << client.Log();
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), c.requests);
        for (const std::string& r : requests) {
            Seen seen = Split(r);
            EXPECT_EQ(seen.line, "POST /BVSYNC HTTP/1.1");
            EXPECT_TRUE(HasHeader(seen.head, "Content-Type: text/xml")) << seen.head;
            EXPECT_EQ(seen.body, HelloCall(L"Ann").value());
        }
        EXPECT_EQ(client.Count("Connection failed"), c.lines[0] == L"ResponseAbort" ? 1 : 0);
    }
}

// Every result handler over the wire.
TEST_F(Transfer, RemoteCallResults) {
    const xmlrpc::DateTime date{2024, 4, 2, 9, 5, 7};
    const std::wstring when = FormatFileDate(date, os::LocaleSeparators());
    const std::wstring longName(40, L'n');
    using V = xmlrpc::Value;
    enum Call { Hello, List, ToServer, FromServer };
    struct Case {
        const char* name;
        Call call;
        std::string body;
        std::vector<std::wstring> lines;
    };
    std::vector<Case> cases = {
        {"greeting", Hello, Response(V::String(L"Hello, Ann")), {L"Hello, Ann"}},
        {"greeting answered with a number", Hello, Response(V::I8(5000000000LL)), {L"5000000000"}},
        {"empty list", List, Response(V::Array({})), {}},
        {"list", List, Response(V::Array({FileRecord(L"a.dat", date), V::String(L"not a record"), V::Int(3),
                                          FileRecord(longName, date)})),
         {FileListLine(L"a.dat", when), longName + L" " + when}},
        {"list that is no array", List, Response(V::String(L"nope")), {L"Error geting filelist from server"}},
        {"list answered with a fault", List, xmlrpc::WriteFault(4, L"no such herd"),
         {L"Error geting filelist from server"}},
        {"list answered with HTML", List, "<html><body>busy</body></html>", {L"Error geting filelist from server"}},
        {"file received", ToServer,
         Response(V::Struct({{L"success", V::Boolean(true)}, {L"filesize", V::I8(5000000000LL)}})),
         {L"File received at server 5000000000 bytes"}},
        {"file not received", ToServer,
         Response(V::Struct({{L"success", V::Boolean(false)}, {L"filesize", V::I8(0)}})),
         {L"File NOT received OK at server"}},
        {"file-to-server answer that is no record", ToServer, Response(V::Boolean(true)), {}},
        {"file from server", FromServer, Response(V::Base64("bytes")), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptServer server({Answer("200 OK", {"Content-Type: text/xml"}, c.body)});
        Client client;
        client.module->connection().SetServer(L"127.0.0.1", std::to_wstring(server.port()));
        const NotifyCode codes[] = {NotifyCode::Hello, NotifyCode::FileList, NotifyCode::FileSent,
                                    NotifyCode::Download};
        Notify.Init(codes[c.call]);
        TdmClient& m = *client.module;
        bool posted = c.call == Hello ? m.RemoteHello(L"Ann")
                      : c.call == List ? m.RemoteGetFiles(L"12", L"7")
                      : c.call == ToServer ? m.RemoteFileToServer(L"12", L"7", L"a.dat", "data")
                                           : m.RemoteFileFromServer(L"12", L"7", L"a.dat");
        ASSERT_TRUE(posted);
        if (c.call == FromServer) {
            // Its handler does nothing: wait for the request, then a little.
            for (int i = 0; i < 200 && server.requests().empty(); ++i) client.Wait(0, 20);
            client.Wait(0, 300);
            EXPECT_FALSE(Notify.Read().nfReady);
        } else {
            ASSERT_TRUE(client.Wait(c.lines.size()));
        }
        EXPECT_EQ(client.Lines(), c.lines);
        if (c.name == std::string("file not received")) {
            EXPECT_EQ(client.Count("File NOT received OK at server.  {success: false, filesize: 0} bytes"), 1);
        }
        if (c.name == std::string("empty list")) {
            EXPECT_EQ(client.Count("GetFilesReturned count files 0"), 1);
        }
    }
}

#ifdef BV_E2E_DIR
// bvsync against the reference sync server: a 5 MB file up, listed with its
// name and date, fetched back byte for byte, and a greeting.
TEST_F(Transfer, BvsyncAgainstTheSyncServer) {
    auto clean = [](std::string out) {
        for (size_t at; (at = out.find('\r')) != std::string::npos;) out.erase(at, 1);
        return out;
    };
    // Straight to the server, and through nginx to two server processes.
    for (const char* portFile : {"sync.port", "sync-proxy.port"}) {
        SCOPED_TRACE(portFile);
        const std::string port = ReadText(std::filesystem::path(test::HostToWine(BV_E2E_DIR)) / portFile);
        const std::wstring server = L"--server=127.0.0.1:" + Wide(port.substr(0, port.find_first_of("\r\n")));
        const std::string big = Pattern(5 * 1024 * 1024 + 17);
        const std::wstring source = Dest(L"upload 5mb.bin");
        ASSERT_TRUE(fs::WriteFile(source, big));
        const std::wstring herd = L"H" + std::to_wstring(GetCurrentProcessId());

        ProcessRun put = RunBvsync(server + L" put " + herd + L" C7 \"" + source + L"\"");
        EXPECT_EQ(put.exitCode, 0u);
        EXPECT_EQ(clean(put.out), "Done, Status = 200 OK\n");

        ProcessRun list = RunBvsync(server + L" list " + herd + L" C7");
        EXPECT_EQ(list.exitCode, 0u);
        std::string out = clean(list.out);
        // "upload 5mb.bin", padded to 32, a blank, "mm/dd/yy hh:mm:ss".
        ASSERT_EQ(out.size(), 32u + 1 + 17 + 1) << out;
        EXPECT_EQ(out.substr(0, 33), "upload 5mb.bin                   ");
        EXPECT_EQ(out[35], '/');
        EXPECT_EQ(out[44], ':');

        const std::wstring back = Folder() + L"\\back";
        ASSERT_TRUE(fs::ForceDirectories(back));
        ProcessRun get = RunBvsync(server + L" get " + herd + L" C7 \"/upload 5mb.bin\"", back);
        EXPECT_EQ(get.exitCode, 0u);
        EXPECT_EQ(clean(get.out), "Saved to /upload 5mb.bin\n");
        EXPECT_TRUE(FileBytes(back + L"\\upload 5mb.bin") == big);

        ProcessRun missing = RunBvsync(server + L" get " + herd + L" C7 /none.bin", back);
        EXPECT_EQ(missing.exitCode, 1u);
        EXPECT_EQ(clean(missing.out), "Failed\n");

        ProcessRun hello = RunBvsync(server + L" hello Ann");
        EXPECT_EQ(hello.exitCode, 0u);
        EXPECT_EQ(clean(hello.out), "Hello, Ann\n");

        ProcessRun empty = RunBvsync(server + L" list nobody C7");
        EXPECT_EQ(empty.exitCode, 0u);
        EXPECT_EQ(clean(empty.out), "");

        // Refusals: a file that cannot be opened, a herd the server refuses, a
        // name that would leave the herd's folder.
        ProcessRun unsent = RunBvsync(server + L" put " + herd + L" C7 " + Dest(L"missing.bin"));
        EXPECT_EQ(unsent.exitCode, 1u);
        EXPECT_EQ(clean(unsent.out), "Not sent: " + Narrow(Dest(L"missing.bin")) + "\n");
        ProcessRun refusedList = RunBvsync(server + L" list .. C7");
        EXPECT_EQ(refusedList.exitCode, 1u);
        EXPECT_EQ(clean(refusedList.out), "Error geting filelist from server\n");
        ASSERT_TRUE(fs::WriteFile(Dest(L"small.bin"), "small"));
        ProcessRun outside = RunBvsync(server + L" put .. C7 " + Dest(L"small.bin"));
        EXPECT_EQ(outside.exitCode, 1u);
        EXPECT_EQ(clean(outside.out).rfind("Done, Status = 403 ", 0), 0u) << outside.out;
    }

    const uint16_t refused = ScriptServer::UnusedPort();
    ProcessRun aborted = RunBvsync(L"--server=127.0.0.1:" + std::to_wstring(refused) + L" hello Ann");
    EXPECT_EQ(aborted.exitCode, 3u);
    EXPECT_EQ(clean(aborted.out), "ResponseAbort\n");

    for (const wchar_t* bad : {L"hello", L"list H", L"put H C", L"get H C relative.bin", L"--server=:1 hello A",
                               L"--server=h:0 hello A"}) {
        SCOPED_TRACE(Narrow(bad));
        EXPECT_EQ(RunBvsync(bad).exitCode, 2u);
    }
}
#endif

}  // namespace
}  // namespace bv
