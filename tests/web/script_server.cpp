// The scripted HTTP test server over Winsock.
#include "tests/web/script_server.h"

#include <cctype>
#include <cstdlib>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

namespace bv::test {

Script Answer(const std::string& status, const std::vector<std::string>& headers,
              const std::string& body, size_t block, int pauseMs) {
    std::string head = "HTTP/1.1 " + status + "\r\n";
    for (const std::string& h : headers) head += h + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    Script script{Send(head)};
    if (block == 0) block = body.size() ? body.size() : 1;
    for (size_t at = 0; at < body.size(); at += block) {
        if (at > 0 && pauseMs > 0) script.push_back(Pause(pauseMs));
        script.push_back(Send(body.substr(at, block)));
    }
    return script;
}

ScriptServer::ScriptServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(s, 8) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    listener_ = s;
    port_ = ntohs(at.sin_port);
    start_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Run(); });
}

ScriptServer::~ScriptServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    closesocket(static_cast<SOCKET>(listener_));
    WSACleanup();
}

uint16_t ScriptServer::UnusedPort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
    getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
    closesocket(s);
    WSACleanup();
    return ntohs(at.sin_port);
}

int64_t ScriptServer::Now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
}

bool ScriptServer::Wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

bool ScriptServer::PauseWhileConnected(uintptr_t socketValue, int ms) {
    SOCKET s = static_cast<SOCKET>(socketValue);
    int64_t end = Now() + ms;
    while (Now() < end) {
        if (!Wait(0)) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        int64_t left = end - Now();
        timeval tick{0, static_cast<long>(std::min<int64_t>(std::max<int64_t>(left, 0), 50) * 1000)};
        if (select(0, &readable, nullptr, nullptr, &tick) > 0) {
            char buf[512];
            if (recv(s, buf, sizeof buf, 0) <= 0) return false;  // the client has gone
        }
    }
    return true;
}

void ScriptServer::Run() {
    SOCKET listener = static_cast<SOCKET>(listener_);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval tick{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &tick) <= 0) continue;
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) continue;
        size_t index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = accepts_.size();
            accepts_.push_back(Now());
        }
        static const Script kNone;
        Serve(s, scripts_.empty() ? kNone : scripts_[std::min(index, scripts_.size() - 1)]);
    }
}

void ScriptServer::Serve(uintptr_t socketValue, const Script& script) {
    SOCKET s = static_cast<SOCKET>(socketValue);
    // Read the request's headers and, when they announce one, its body;
    // give up after 5 s (10 s for a body).
    std::string request;
    int64_t deadline = Now() + 5000;
    bool extended = false;
    auto complete = [&] {
        size_t end = request.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        std::string head = request.substr(0, end);
        for (char& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        size_t at = head.find("\r\ncontent-length:");
        if (at == std::string::npos) return true;
        if (!extended) deadline += 5000, extended = true;
        size_t length = static_cast<size_t>(std::strtoull(head.c_str() + at + 17, nullptr, 10));
        return request.size() >= end + 4 + length;
    };
    while (!complete() && Now() < deadline) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tick{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &tick) <= 0) continue;
        char buf[4096];
        int got = recv(s, buf, sizeof buf, 0);
        if (got <= 0) break;
        request.append(buf, static_cast<size_t>(got));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    bool reset = false;
    for (const Step& step : script) {
        if (step.kind == Step::Send) {
            send(s, step.bytes.data(), static_cast<int>(step.bytes.size()), 0);
        } else if (step.kind == Step::Pause) {
            if (!PauseWhileConnected(s, step.ms)) break;
        } else {
            linger hard{1, 0};
            setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&hard), sizeof hard);
            reset = true;
            break;
        }
    }
    if (!reset) shutdown(s, SD_SEND);
    closesocket(s);
    std::lock_guard<std::mutex> lock(mutex_);
    closes_.push_back(Now());
}

int ScriptServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(accepts_.size());
}

std::vector<std::string> ScriptServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<int64_t> ScriptServer::acceptTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepts_;
}

std::vector<int64_t> ScriptServer::closeTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
}

FullListener::FullListener() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup");
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    sockets_.push_back(listener);
    port_ = ntohs(at.sin_port);
    // Connections nobody accepts fill the queue.
    for (int i = 0; i < 4; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
        sockets_.push_back(s);
    }
    Sleep(200);
}

FullListener::~FullListener() {
    for (uintptr_t s : sockets_) closesocket(static_cast<SOCKET>(s));
    WSACleanup();
}

}  // namespace bv::test
