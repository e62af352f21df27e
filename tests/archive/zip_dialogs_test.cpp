// The real password window and failure dialog, driven from a second thread
// the way a user would answer them (run under Wine in a virtual display).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "archive/unzip.h"
#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/questions.h"
#include "tests/archive/zip_test_util.h"

namespace bv {
namespace {

// The dialog once it is shown: a dialog becomes visible only after its
// controls were made and filled, so a user never sees it half built.
HWND WaitForDialog(const std::wstring& caption) {
    for (int i = 0; i < 400; ++i) {
        HWND h = FindWindowW(L"#32770", caption.c_str());
        if (h && IsWindowVisible(h)) return h;
        Sleep(25);
    }
    return nullptr;
}

void Click(HWND dlg, int id) {
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

std::wstring TextOf(HWND dlg, int id) {
    wchar_t buf[512] = {};
    GetDlgItemTextW(dlg, id, buf, 512);
    return buf;
}

TEST(ZipDialogsTest, PasswordWindowHidesInputAndAnswersOkOrCancel) {
    // The window's caption names the member.
    const std::wstring caption = L"Password for \"herd.txt\"";
    struct Seen {
        bool found = false;
        std::wstring label;
        bool masked = false;
        LRESULT limit = 0;
    } seen;
    std::thread user([&] {
        HWND h = WaitForDialog(caption);
        if (!h) return;
        seen.found = true;
        seen.label = TextOf(h, 101);
        seen.masked = (GetWindowLongW(GetDlgItem(h, 100), GWL_STYLE) & ES_PASSWORD) != 0;
        seen.limit = SendDlgItemMessageW(h, 100, EM_GETLIMITTEXT, 0, 0);
        SetDlgItemTextW(h, 100, L"geheim");
        Click(h, IDOK);
    });
    std::wstring password;
    EXPECT_EQ(SystemQuestions().AskPassword(L"herd.txt", password), Answer::Ok);
    user.join();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(password, L"geheim");
    EXPECT_EQ(seen.label, L"Enter password: ");
    EXPECT_TRUE(seen.masked);
    EXPECT_EQ(seen.limit, 255);

    std::thread cancel([&] {
        if (HWND h = WaitForDialog(caption)) Click(h, IDCANCEL);
    });
    std::wstring none;
    EXPECT_EQ(SystemQuestions().AskPassword(L"herd.txt", none), Answer::Cancel);
    cancel.join();
}

TEST(ZipDialogsTest, FailureDialogOffersRetryOnlyWhenAllowed) {
    struct Case {
        bool canRetry;
        int click;
        Answer expected;
    } cases[] = {{true, IDRETRY, Answer::Retry},
                 {true, IDABORT, Answer::Abort},
                 {false, IDIGNORE, Answer::Ignore}};
    for (const Case& c : cases) {
        bool hasRetry = false;
        std::wstring text;
        std::thread user([&] {
            HWND h = WaitForDialog(L"Confirm");
            if (!h) return;
            hasRetry = GetDlgItem(h, IDRETRY) != nullptr;
            text = TextOf(h, 101);
            Click(h, c.click);
        });
        EXPECT_EQ(SystemQuestions().AskFailure(L"Cannot create file \"x\"", c.canRetry), c.expected);
        user.join();
        EXPECT_EQ(hasRetry, c.canRetry);
        EXPECT_EQ(text, L"Cannot create file \"x\"");
    }
}

// Unzip given the system's questions shows the real password window.
TEST(ZipDialogsTest, UnzipAsksThroughTheRealPasswordWindow) {
    test::ZipScratch dir;
    test::WriteAll(dir / L"src.txt", "secret herd data");
    {
        ZipArchiver z;
        z.FileName = dir / L"enc.zip";
        z.Password = "pw";
        z.OpenArchive(fmCreate);
        z.AddFiles(dir / L"src.txt");
        z.CloseArchive();
    }
    std::thread user([&] {
        HWND h = WaitForDialog(L"Password for \"src.txt\"");
        if (!h) return;
        SetDlgItemTextW(h, 100, L"pw");
        Click(h, IDOK);
    });
    EXPECT_TRUE(Unzip(L"", dir / L"enc.zip", dir / L"out", L"*", SystemQuestions()));
    user.join();
    EXPECT_EQ(test::ReadAll(dir / L"out\\src.txt"), "secret herd data");
}

}  // namespace
}  // namespace bv
