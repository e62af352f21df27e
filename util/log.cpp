// The log file. Every call leaves the file exactly as reading it as lines,
// adding the new line and rewriting it in the ANSI code page with CR LF would;
// while the file is as the previous call left it, appending the new bytes
// gives the same result without rereading it.
#include "util/log.h"

#include <cstdio>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/fs.h"

namespace bv {

bool DeepLogging = false;

namespace {

struct LogState {
    std::mutex mutex;
    std::wstring fileName;
    std::function<os::LocalTime()> clock;
    // What the file looked like after our last complete write.
    bool known = false;
    uint64_t size = 0;
    uint64_t writeTime = 0;
};

LogState& State() {
    static LogState state;
    return state;
}

// Splits at CR LF, CR or LF; a final line break adds no empty line.
void SplitLines(std::wstring_view text, std::vector<std::wstring>& lines) {
    std::wstring current;
    bool pending = false;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(std::move(current));
            current.clear();
            pending = false;
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            current.push_back(c);
            pending = true;
        }
    }
    if (pending) lines.push_back(std::move(current));
}

std::string EncodeLines(const std::vector<std::wstring>& lines) {
    std::string out;
    for (const std::wstring& line : lines) {
        out += os::ToAnsi(line);
        out += "\r\n";
    }
    return out;
}

// The file's text: a byte-order mark selects UTF-8 or UTF-16, otherwise ANSI.
std::wstring DecodeFile(const std::string& bytes) {
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return os::FromUtf8(std::string_view(bytes).substr(3));
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        return os::FromUtf16Le(std::string_view(bytes).substr(2));
    return os::FromAnsi(bytes);
}

void Remember(LogState& s, bool ok) {
    fs::FileInfo info = fs::Stat(s.fileName);
    s.known = ok && info.exists;
    s.size = info.size;
    s.writeTime = info.writeTime;
}

}  // namespace

std::wstring LogStamp(const os::LocalTime& t) {
    wchar_t buf[64];
    if (t.hour == 0 && t.minute == 0 && t.second == 0 && t.millisecond == 0)
        std::swprintf(buf, 64, L"%d-%d-%d", t.year, t.month, t.day);
    else
        std::swprintf(buf, 64, L"%d-%d-%d %d-%d-%d-%d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second, t.millisecond);
    return buf;
}

void WriteLog(std::wstring_view text) {
    if (!DeepLogging) return;
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    try {
        std::wstring stamp = LogStamp(s.clock ? s.clock() : os::Now());
        std::wstring prefix = (stamp + L"     ").substr(0, 23);
        if (s.fileName.empty()) {
            s.fileName = L"BVSTARTUP_" + stamp + L".txt";
            (void)fs::RemoveFile(s.fileName);
            // The begin line has no line break; the append below adds it.
            (void)fs::WriteFile(s.fileName, os::ToUtf8(prefix + L":  Logging begun."));
            s.known = false;
        }
        std::vector<std::wstring> added;
        SplitLines(prefix + L":  " + std::wstring(text), added);
        std::string bytes = EncodeLines(added);

        fs::FileInfo info = fs::Stat(s.fileName);
        bool ok;
        if (s.known && info.exists && info.size == s.size && info.writeTime == s.writeTime) {
            ok = fs::AppendFile(s.fileName, bytes).ok();
        } else {
            // The file is not as we left it (first append, or someone else
            // wrote to it): read it as lines and rewrite it whole. A file that
            // exists but cannot be read is left alone, and the line is lost.
            std::vector<std::wstring> lines;
            Result<std::string> old = std::string();
            if (info.exists) old = fs::ReadFile(s.fileName);
            ok = old.ok();
            if (ok) {
                SplitLines(DecodeFile(old.value()), lines);
                ok = fs::WriteFile(s.fileName, EncodeLines(lines) + bytes).ok();
            }
        }
        Remember(s, ok);
    } catch (const std::exception&) {
        // The log never raises; the line is lost.
        s.known = false;
    }
}

void ClientLog(std::wstring_view text) {
    wchar_t head[64];
    std::swprintf(head, 64, L"Client: M%5u C%5u ", static_cast<unsigned>(os::MainThreadId()),
                  static_cast<unsigned>(os::CurrentThreadId()));
    WriteLog(L"   (logg) " + std::wstring(head) + std::wstring(text));
}

std::wstring LogFileName() {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.fileName;
}

void SetLogClockForTesting(std::function<os::LocalTime()> clock) {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.clock = std::move(clock);
}

void ResetLogForTesting() {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.fileName.clear();
    s.known = false;
}

}  // namespace bv
