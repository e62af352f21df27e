// The system's questions: message boxes, and the password window and the
// failure dialog of the ZIP component as plain Win32 dialogs built from
// in-memory templates, centred on the screen.
#include "platform/questions.h"

#include <windows.h>

#include <string>
#include <vector>

namespace bv {
namespace {

constexpr int kEdit = 100;
constexpr int kText = 101;

// Builds a DLGTEMPLATE with its items in a WORD buffer.
class Template {
public:
    Template(const std::wstring& caption, short cx, short cy) {
        Align(4);
        DWORD style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        PutDword(style);
        PutDword(0);
        countAt_ = words_.size();
        Put(0);  // item count, patched per item
        Put(0);
        Put(0);
        Put(static_cast<WORD>(cx));
        Put(static_cast<WORD>(cy));
        Put(0);  // no menu
        Put(0);  // standard class
        PutString(caption);
        Put(9);
        PutString(L"Segoe UI");
    }

    void Item(const std::wstring& text, WORD id, WORD cls, DWORD style, short x, short y, short cx,
              short cy) {
        Align(2);
        PutDword(style | WS_CHILD | WS_VISIBLE);
        PutDword(0);
        Put(static_cast<WORD>(x));
        Put(static_cast<WORD>(y));
        Put(static_cast<WORD>(cx));
        Put(static_cast<WORD>(cy));
        Put(id);
        Put(0xFFFF);
        Put(cls);
        PutString(text);
        Put(0);
        ++words_[countAt_];
    }

    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Put(WORD w) { words_.push_back(w); }
    void PutDword(DWORD d) {
        Put(LOWORD(d));
        Put(HIWORD(d));
    }
    void PutString(const std::wstring& s) {
        for (wchar_t c : s) Put(static_cast<WORD>(c));
        Put(0);
    }
    // Items start on DWORD boundaries (the buffer itself is DWORD-aligned).
    void Align(int) {
        if (words_.size() % 2) Put(0);
    }
    std::vector<WORD> words_;
    size_t countAt_ = 0;
};

constexpr WORD kButton = 0x0080, kEditClass = 0x0081, kStatic = 0x0082;

struct PasswordState {
    std::wstring* password;
};

INT_PTR CALLBACK PasswordProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dlg, DWLP_USER, lp);
            SendDlgItemMessageW(dlg, kEdit, EM_LIMITTEXT, 255, 0);
            SetFocus(GetDlgItem(dlg, kEdit));
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wp) == IDOK) {
                auto* state = reinterpret_cast<PasswordState*>(GetWindowLongPtrW(dlg, DWLP_USER));
                wchar_t buf[256] = {};
                GetDlgItemTextW(dlg, kEdit, buf, 256);
                *state->password = buf;
                SecureZeroMemory(buf, sizeof buf);
                EndDialog(dlg, IDOK);
                return TRUE;
            }
            if (LOWORD(wp) == IDCANCEL) {
                EndDialog(dlg, IDCANCEL);
                return TRUE;
            }
            break;
    }
    return FALSE;
}

INT_PTR CALLBACK FailureProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) return TRUE;
    if (msg == WM_COMMAND) {
        WORD id = LOWORD(wp);
        if (id == IDABORT || id == IDRETRY || id == IDIGNORE) {
            EndDialog(dlg, id);
            return TRUE;
        }
        if (id == IDCANCEL) {  // Escape or the close box: Abort
            EndDialog(dlg, IDABORT);
            return TRUE;
        }
    }
    return FALSE;
}

bool AskZipPassword(const std::wstring& caption, std::wstring& password) {
    Template t(caption, 200, 62);
    t.Item(L"Enter password: ", kText, kStatic, SS_LEFT, 7, 9, 60, 10);
    t.Item(L"", kEdit, kEditClass, ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 68, 7, 125, 13);
    t.Item(L"OK", IDOK, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 87, 40, 50, 14);
    t.Item(L"Cancel", IDCANCEL, kButton, BS_PUSHBUTTON | WS_TABSTOP, 143, 40, 50, 14);
    std::wstring typed;
    PasswordState state{&typed};
    INT_PTR rc = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), GetActiveWindow(),
                                         PasswordProc, reinterpret_cast<LPARAM>(&state));
    if (rc != IDOK) return false;
    password = typed;
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    return true;
}

Answer AskZipFailure(const std::wstring& message, bool canRetry) {
    Template t(L"Confirm", 260, 96);
    t.Item(message, kText, kStatic, SS_LEFT, 7, 7, 246, 56);
    short x = canRetry ? 49 : 104;
    t.Item(L"&Abort", IDABORT, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, x, 72, 50, 14);
    if (canRetry) {
        t.Item(L"&Retry", IDRETRY, kButton, BS_PUSHBUTTON | WS_TABSTOP, 104, 72, 50, 14);
        x = 159;
    } else {
        x = 159;
    }
    t.Item(L"&Ignore", IDIGNORE, kButton, BS_PUSHBUTTON | WS_TABSTOP, x, 72, 50, 14);
    INT_PTR rc = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), GetActiveWindow(),
                                         FailureProc, 0);
    if (rc == IDRETRY) return Answer::Retry;
    if (rc == IDIGNORE) return Answer::Ignore;
    return Answer::Abort;
}

class SystemDialogs : public Questions {
public:
    void ShowMessage(const std::wstring& text) override {
        MessageBoxW(nullptr, text.c_str(), L"BVStartup", MB_OK | MB_TASKMODAL);
    }
    void ShowError(const std::wstring& text) override {
        MessageBoxW(nullptr, text.c_str(), L"BVStartup", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    }
    Answer AskPassword(const std::wstring& memberName, std::wstring& password) override {
        return AskZipPassword(L"Password for \"" + memberName + L"\"", password) ? Answer::Ok : Answer::Cancel;
    }
    Answer AskFailure(const std::wstring& message, bool canRetry) override {
        return AskZipFailure(message, canRetry);
    }
};

}  // namespace

Questions& SystemQuestions() {
    static SystemDialogs questions;
    return questions;
}

}  // namespace bv
