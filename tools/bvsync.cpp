// bvsync: the transfer client module from the command line. It runs the
// module's own code (the connection, its worker thread, the hand-over of
// events to this program's main thread, which handles messages while it
// waits) and prints the mailbox's result lines, one per line.
//
//   bvsync [-L] [--peak-memory] fetch http://HOST[:PORT]/PATH DEST
//
// Exit status: 0 saved, 1 refused by the server or the disk ("Failed",
// "Not saved: "), 3 connection aborted ("ResponseAbort"), 2 wrong command line.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"
#include "transfer/dmClient.h"
#include "transfer/log.h"
#include "transfer/notify.h"

namespace {

constexpr int kExitSaved = 0, kExitRefused = 1, kExitUsage = 2, kExitAborted = 3;

const char kUsage[] =
    "usage: bvsync [-L] [--peak-memory] COMMAND ARGS...\n"
    "  fetch http://HOST[:PORT]/PATH DEST   fetch PATH from HOST (port 80 unless given) into DEST\n"
    "options:\n"
    "  -L              write the log file (BVSTARTUP_<time>.txt in the current folder)\n"
    "  --peak-memory   print the process's peak working set, and the time from starting\n"
    "                  the operation to its result, on standard error at the end\n";

struct Options {
    bool log = false;
    bool peakMemory = false;
};

struct Command {
    const wchar_t* name;
    size_t argCount;
    // Starts the operation on the module; false when the arguments are wrong.
    std::function<bool(bv::TdmClient& module, const std::vector<std::wstring>& args)> start;
};

// http://HOST[:PORT]/PATH into "HOST[:PORT]" and "/PATH".
bool SplitUrl(const std::wstring& url, std::wstring& authority, std::wstring& path) {
    const std::wstring scheme = L"http://";
    if (url.size() <= scheme.size() || _wcsnicmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) return false;
    size_t slash = url.find(L'/', scheme.size());
    if (slash == std::wstring::npos) return false;
    authority = url.substr(scheme.size(), slash - scheme.size());
    path = url.substr(slash);
    size_t colon = authority.find(L':');
    std::wstring host = authority.substr(0, colon);
    if (host.empty()) return false;
    if (colon != std::wstring::npos) {
        std::wstring port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
        long n = std::wcstol(port.c_str(), nullptr, 10);
        if (n < 1 || n > 65535) return false;
    }
    return true;
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {L"fetch", 2,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             std::wstring authority, path;
             if (!SplitUrl(args[0], authority, path) || args[1].empty()) return false;
             bv::Notify.Init(4);
             module.FileFromURL(authority, path, args[1]);
             return true;
         }},
    };
    return commands;
}

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "bvsync: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// Handles this thread's messages (the module's events arrive through them)
// until the mailbox's ready flag is up.
void WaitForResult() {
    while (!bv::Notify.Read().nfReady) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int ExitCodeOf(const std::vector<std::wstring>& lines) {
    int code = kExitRefused;
    bool saved = false, refused = false;
    for (const std::wstring& line : lines) {
        if (line == L"ResponseAbort") return kExitAborted;
        if (line.rfind(L"Saved to ", 0) == 0) saved = true;
        if (line == L"Failed" || line.rfind(L"Not saved: ", 0) == 0) refused = true;
    }
    if (saved && !refused) code = kExitSaved;
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bv::os::RecordMainThread();
    Options options;
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"-L" || arg == L"-l")
            options.log = true;
        else if (arg == L"--peak-memory")
            options.peakMemory = true;
        else
            return Usage("unknown option");
    }
    if (i >= argc) return Usage("no command");
    const Command* command = nullptr;
    for (const Command& c : Commands())
        if (argv[i] == std::wstring(c.name)) command = &c;
    if (!command) return Usage("unknown command");
    std::vector<std::wstring> args(argv + i + 1, argv + argc);
    if (args.size() != command->argCount) return Usage("wrong number of arguments");

    bv::DeepLogging = options.log;
    std::vector<std::wstring> lines;
    DWORD elapsedMs = 0;
    {
        bv::TdmClient module;  // its events are handed to this thread
        DWORD started = GetTickCount();
        if (!command->start(module, args)) return Usage("bad argument");
        WaitForResult();
        elapsedMs = GetTickCount() - started;
        lines = bv::Notify.Read().nfReturnList;
    }
    for (const std::wstring& line : lines) std::printf("%s\n", bv::os::ToUtf8(line).c_str());
    std::fflush(stdout);
    if (options.peakMemory) {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
            std::fprintf(stderr, "peak working set: %llu KB, operation: %lu ms\n",
                         static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024),
                         static_cast<unsigned long>(elapsedMs));
    }
    return ExitCodeOf(lines);
}
