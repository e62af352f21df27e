// Windows implementation of the OS services.
#include "platform/os.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>

namespace bv::os {
namespace {

std::atomic<uint32_t> g_mainThread{0};

std::string ToCodePage(UINT cp, std::wstring_view text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::wstring FromCodePage(UINT cp, std::string_view bytes) {
    if (bytes.empty()) return {};
    int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

}  // namespace

LocalTime Now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void RecordMainThread() {
    uint32_t expected = 0;
    g_mainThread.compare_exchange_strong(expected, GetCurrentThreadId());
}

uint32_t MainThreadId() { return g_mainThread.load(); }

std::vector<std::wstring> CommandLineParameters() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> params;
    for (int i = 1; argv && i < argc; ++i) params.emplace_back(argv[i]);
    LocalFree(argv);
    return params;
}

std::string ToAnsi(std::wstring_view text) { return ToCodePage(CP_ACP, text); }
std::wstring FromAnsi(std::string_view bytes) { return FromCodePage(CP_ACP, bytes); }
std::string ToOem(std::wstring_view text) { return ToCodePage(CP_OEMCP, text); }
std::wstring FromOem(std::string_view bytes) { return FromCodePage(CP_OEMCP, bytes); }
std::string ToUtf8(std::wstring_view text) { return ToCodePage(CP_UTF8, text); }
std::wstring FromUtf8(std::string_view bytes) { return FromCodePage(CP_UTF8, bytes); }

std::wstring SystemErrorText(uint32_t code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty()) text = L"System error " + std::to_wstring(code);
    return text;
}

std::wstring UpperLocale(std::wstring_view text) {
    if (text.empty()) return {};
    int n = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, text.data(),
                         static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                 out.data(), n);
    return out;
}

DateTimeSeparators LocaleSeparators() {
    DateTimeSeparators seps;
    wchar_t buf[8];
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDATE, buf, 8) > 1) seps.date = buf;
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIME, buf, 8) > 1) seps.time = buf;
    return seps;
}

}  // namespace bv::os
