// Operating-system services the portable core needs: local time, thread ids,
// code-page conversion and the process's command line.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bv::os {

struct LocalTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime Now();

// Id of the calling thread, and of the thread that first called
// RecordMainThread (the program's main thread).
uint32_t CurrentThreadId();
void RecordMainThread();
uint32_t MainThreadId();

// The process's parameters after the program name, as the system split them.
std::vector<std::wstring> CommandLineParameters();

// Code pages. ANSI is the system's 8-bit code page (1252 natively), OEM the
// DOS code page (437 natively). Characters a code page cannot hold become its
// default character.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view bytes);
std::string ToOem(std::wstring_view text);
std::wstring FromOem(std::string_view bytes);
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);
// UTF-16LE bytes to text (an odd last byte is ignored), and text to UTF-16LE
// bytes, `units` receiving the number of 16-bit units written.
std::wstring FromUtf16Le(std::string_view bytes);
std::string ToUtf16Le(std::wstring_view text, uint32_t& units);

// The system's text for one of its error codes (a Win32 error; errno natively),
// without a final line break.
std::wstring SystemErrorText(uint32_t code);

// Upper case by the rules of the user's locale.
std::wstring UpperLocale(std::wstring_view text);

// The user's date and time separators (as in 04/02/24 09:05:07); natively
// always "/" and ":".
struct DateTimeSeparators {
    std::wstring date = L"/";
    std::wstring time = L":";
};
DateTimeSeparators LocaleSeparators();

}  // namespace bv::os
