// Hands a call from a worker thread to the user-interface thread and waits
// until it has run there. The user-interface thread runs the calls whenever
// it handles its messages (on Windows through a message-only window of its
// own, so a modal box's message loop runs them too); natively a test pumps
// them. Cancel makes every waiting and every later call return unrun, so a
// user-interface thread that is shutting a worker down can join it safely.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace bv {

class UiHandover {
public:
    UiHandover();  // the calling thread is the user-interface thread
    virtual ~UiHandover();
    UiHandover(const UiHandover&) = delete;
    UiHandover& operator=(const UiHandover&) = delete;

    // Runs `fn` on the user-interface thread and waits for it; runs it at
    // once when called on that thread. False, with `fn` not run, once the
    // hand-over has been cancelled.
    bool Call(const std::function<void()>& fn);
    // On the user-interface thread: runs the calls that wait.
    void RunPending();
    // Any thread: waiting calls return false unrun (a call already running
    // finishes first), and so does every later call.
    void Cancel();
    bool OnUiThread() const;

protected:
    // Asks the user-interface thread to call RunPending soon.
    virtual void Wake() = 0;

private:
    struct Task;
    uint32_t uiThread_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Task>> queue_;
    bool cancelled_ = false;
};

// For tests and console programs: the owner's thread calls Pump (or
// PumpFor) to run waiting calls.
class PumpedHandover : public UiHandover {
public:
    // Runs waiting calls until `ms` milliseconds have passed.
    void PumpFor(int ms);
    // Runs waiting calls, waiting for one at most `ms` milliseconds.
    void Pump(int ms);

protected:
    void Wake() override;

private:
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    uint64_t wakes_ = 0;
};

#ifdef _WIN32
// A message-only window owned by the calling thread: its messages run the
// waiting calls. Its thread must handle messages (any message loop will do).
std::unique_ptr<UiHandover> MakeWindowHandover();
#endif

}  // namespace bv
