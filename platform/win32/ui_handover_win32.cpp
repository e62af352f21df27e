// The hand-over to the user-interface thread through a message-only window
// of that thread: a posted message wakes it, and whatever loop is handling
// the thread's messages (the program's, a modal box's) runs the calls.
#include <windows.h>

#include "platform/ui_handover.h"

namespace bv {
namespace {

constexpr UINT kRunPending = WM_APP + 0x4B1;
const wchar_t kClassName[] = L"BVStartupHandover";

class WindowHandover : public UiHandover {
public:
    WindowHandover() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        RegisterClassExW(&wc);  // fails harmlessly when already registered
        window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~WindowHandover() override {
        Cancel();
        if (window_) {
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            DestroyWindow(window_);
        }
    }

protected:
    void Wake() override { PostMessageW(window_, kRunPending, 0, 0); }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == kRunPending) {
            auto* self = reinterpret_cast<WindowHandover*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (self) self->RunPending();
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }

    HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<UiHandover> MakeWindowHandover() { return std::make_unique<WindowHandover>(); }

}  // namespace bv
