// Keyboard input for the window tests: keys synthesised as the system's
// input (SendInput), which the window reads through its message loop as it
// reads a user's, and a watchdog that ends the test program when the window
// stops answering, since a hung window would hold the whole run.
#pragma once
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bv::test {

// Ends the test program with a message naming `what` unless it is
// destroyed within `seconds`.
class Watchdog {
public:
    Watchdog(std::string what, int seconds) : what_(std::move(what)) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                std::fprintf(stderr, "\nThe window stopped answering: %s\n", what_.c_str());
                std::fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Presses and releases `vk` while `modifiers` are held down, as keyboard input
// to whichever window has the focus.
inline void SendKey(WORD vk, std::initializer_list<WORD> modifiers = {}) {
    std::vector<INPUT> input;
    auto key = [&](WORD k, bool up) {
        INPUT i{};
        i.type = INPUT_KEYBOARD;
        i.ki.wVk = k;
        i.ki.wScan = static_cast<WORD>(MapVirtualKeyW(k, MAPVK_VK_TO_VSC));
        bool extended = (k >= VK_PRIOR && k <= VK_DOWN) || k == VK_INSERT || k == VK_DELETE;
        i.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
        input.push_back(i);
    };
    for (WORD m : modifiers) key(m, false);
    key(vk, false);
    key(vk, true);
    for (auto m = std::rbegin(modifiers); m != std::rend(modifiers); ++m) key(*m, true);
    SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

// The key's name, for messages.
inline std::string KeyName(WORD vk, std::initializer_list<WORD> modifiers = {}) {
    std::string name;
    for (WORD m : modifiers) name += m == VK_SHIFT ? "Shift+" : m == VK_CONTROL ? "Ctrl+" : m == VK_MENU ? "Alt+" : "?+";
    switch (vk) {
        case VK_SPACE: return name + "Space";
        case VK_TAB: return name + "Tab";
        case VK_RETURN: return name + "Enter";
        case VK_DOWN: return name + "Down";
        case VK_UP: return name + "Up";
        case VK_F4: return name + "F4";
        default: return name + static_cast<char>(vk);
    }
}

}  // namespace bv::test
