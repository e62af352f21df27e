// The hand-over of calls to the user-interface thread.
#include "platform/ui_handover.h"

#include <chrono>

#include "platform/os.h"

namespace bv {

struct UiHandover::Task {
    const std::function<void()>* fn = nullptr;
    enum State { Waiting, Running, Done } state = Waiting;
};

UiHandover::UiHandover() : uiThread_(os::CurrentThreadId()) {}
UiHandover::~UiHandover() = default;

bool UiHandover::OnUiThread() const { return os::CurrentThreadId() == uiThread_; }

bool UiHandover::Call(const std::function<void()>& fn) {
    if (OnUiThread()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_) return false;
        }
        fn();
        return true;
    }
    auto task = std::make_shared<Task>();
    task->fn = &fn;
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancelled_) return false;
    queue_.push_back(task);
    lock.unlock();
    Wake();
    lock.lock();
    done_.wait(lock, [&] { return task->state == Task::Done || (cancelled_ && task->state == Task::Waiting); });
    if (task->state == Task::Done) return true;
    // Cancelled before the user-interface thread took it: it never will.
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
        if (*it == task) {
            queue_.erase(it);
            break;
        }
    return false;
}

void UiHandover::RunPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!queue_.empty() && !cancelled_) {
        std::shared_ptr<Task> task = queue_.front();
        queue_.pop_front();
        task->state = Task::Running;
        lock.unlock();
        (*task->fn)();
        lock.lock();
        task->state = Task::Done;
        done_.notify_all();
    }
}

void UiHandover::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    done_.notify_all();
}

void PumpedHandover::Wake() {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    ++wakes_;
    wake_.notify_all();
}

void PumpedHandover::Pump(int ms) {
    {
        std::unique_lock<std::mutex> lock(wakeMutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return wakes_ != 0; });
        wakes_ = 0;
    }
    RunPending();
}

void PumpedHandover::PumpFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        Pump(static_cast<int>(left.count() < 20 ? left.count() : 20));
    }
    RunPending();
}

}  // namespace bv
