// The program's log: one stamped line per call, appended to a dated file in
// the current directory, written only when logging was switched on ("-L").
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace bv {

// The log switch. Set once at start-up, before any other thread exists.
extern bool DeepLogging;

// Appends one line (several when the text holds line breaks). Never fails
// towards the caller: a line that cannot be written is lost.
void WriteLog(std::wstring_view text);

// WriteLog of "   (logg) Client: M<main thread> C<this thread> <text>".
void ClientLog(std::wstring_view text);

// The stamp of a time: "2024-4-2 9-5-7-123"; the date alone at midnight.
std::wstring LogStamp(const os::LocalTime& t);

// The file name fixed by the first call while logging is on; empty before.
std::wstring LogFileName();

// Tests: replace the clock (nullptr restores the real one), and forget the
// file name so the next call starts a new file.
void SetLogClockForTesting(std::function<os::LocalTime()> clock);
void ResetLogForTesting();

}  // namespace bv
