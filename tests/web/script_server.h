// A scripted HTTP server for tests: listens on 127.0.0.1 on an ephemeral
// port in a thread of the test process, answers the n-th connection with the
// n-th script (the last script serves any further connections), and records
// each request's bytes: its head and the body its Content-Length announces.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bv::test {

struct Step {
    enum Kind { Send, Pause, Reset };
    Kind kind = Send;
    std::string bytes;  // Send
    int ms = 0;         // Pause
};

// What one connection gets; after the last step the connection is closed.
using Script = std::vector<Step>;

inline Step Send(std::string bytes) { return {Step::Send, std::move(bytes), 0}; }
inline Step Pause(int ms) { return {Step::Pause, {}, ms}; }
inline Step Reset() { return {Step::Reset, {}, 0}; }  // abortive close (RST)

// A whole answer: status line, header lines, "Content-Length" of the body,
// then the body in blocks of `block` bytes with `pauseMs` between them.
Script Answer(const std::string& status, const std::vector<std::string>& headers,
              const std::string& body, size_t block = 0, int pauseMs = 0);

class ScriptServer {
public:
    explicit ScriptServer(std::vector<Script> scripts);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    uint16_t port() const { return port_; }
    int connections() const;
    std::vector<std::string> requests() const;
    // Milliseconds since the server started at which each connection was
    // accepted and at which each connection was finished.
    std::vector<int64_t> acceptTimes() const;
    std::vector<int64_t> closeTimes() const;

    // A port on 127.0.0.1 that nothing listens on (bound, then released).
    static uint16_t UnusedPort();

private:
    void Run();
    void Serve(uintptr_t socket, const Script& script);
    bool Wait(int ms);  // false when the server is stopping
    // Waits `ms` unless the client closes the connection or the server stops
    // first (then false).
    bool PauseWhileConnected(uintptr_t socket, int ms);
    int64_t Now() const;

    std::vector<Script> scripts_;
    uintptr_t listener_ = ~uintptr_t(0);
    uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::string> requests_;
    std::vector<int64_t> accepts_, closes_;
    std::chrono::steady_clock::time_point start_;
};

// A listening port whose queue of pending connections is full, so a new
// connection attempt gets no answer at all (its SYN is dropped) until the
// caller's connect timeout.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    uint16_t port() const { return port_; }

private:
    std::vector<uintptr_t> sockets_;
    uint16_t port_ = 0;
};

}  // namespace bv::test
