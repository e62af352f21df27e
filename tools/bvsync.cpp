// bvsync: the transfer client module from the command line. It runs the
// module's own code (the connection, its worker thread, the hand-over of
// events to this program's main thread, which handles messages while it
// waits) and prints the mailbox's result lines, one per line.
//
//   bvsync [-L] [--peak-memory] fetch http://HOST[:PORT]/PATH DEST
//   bvsync [-L] [--server=HOST[:PORT]] hello NAME
//   bvsync [-L] [--server=HOST[:PORT]] list HERD CLIENT
//   bvsync [-L] [--server=HOST[:PORT]] put HERD CLIENT FILE
//   bvsync [-L] [--server=HOST[:PORT]] get HERD CLIENT /PATH
//
// Exit status: 0 success (fetch, get: saved; put: a 2xx status; list: a file
// list came back; hello: any answer), 1 refused by the server or the disk,
// 3 connection aborted ("ResponseAbort"), 2 wrong command line.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"
#include "transfer/dmClient.h"
#include "util/log.h"
#include "transfer/notify.h"
#include "util/host_port.h"

namespace {

constexpr int kExitSaved = 0, kExitRefused = 1, kExitUsage = 2, kExitAborted = 3;

const char kUsage[] =
    "usage: bvsync [-L] [--peak-memory] COMMAND ARGS...\n"
    "  fetch http://HOST[:PORT]/PATH DEST   fetch PATH from HOST (port 80 unless given) into DEST\n"
    "  hello NAME                 greet the sync server; prints its answer\n"
    "  list HERD CLIENT           list the server's files of that herd and client\n"
    "  put HERD CLIENT FILE       upload FILE for that herd and client\n"
    "  get HERD CLIENT /PATH      fetch PATH of that herd and client into the current folder\n"
    "options:\n"
    "  -L              write the log file (BVSTARTUP_<time>.txt in the current folder)\n"
    "  --server=HOST[:PORT]  the sync server (default localhost:6060)\n"
    "  --peak-memory   print the process's peak working set, and the time from starting\n"
    "                  the operation to its result, on standard error at the end\n";

struct Options {
    bool log = false;
    bool peakMemory = false;
    std::wstring server;  // HOST[:PORT], or empty for the module's own
};

bool StartsWith(const std::wstring& line, const wchar_t* prefix) { return line.rfind(prefix, 0) == 0; }

// Exit status of a download: saved, or refused by the server or the disk.
int DownloadVerdict(const std::vector<std::wstring>& lines) {
    bool saved = false, refused = false;
    for (const std::wstring& line : lines) {
        if (StartsWith(line, L"Saved to ")) saved = true;
        if (line == L"Failed" || StartsWith(line, L"Not saved: ")) refused = true;
    }
    return saved && !refused ? kExitSaved : kExitRefused;
}

struct Command {
    const wchar_t* name;
    size_t argCount;
    // Starts the operation on the module; false when the arguments are wrong.
    std::function<bool(bv::TdmClient& module, const std::vector<std::wstring>& args)> start;
    // The exit status for the mailbox's lines (an abort is handled before).
    std::function<int(const std::vector<std::wstring>& lines)> verdict;
};

// http://HOST[:PORT]/PATH into "HOST[:PORT]" and "/PATH".
bool SplitUrl(const std::wstring& url, std::wstring& authority, std::wstring& path) {
    const std::wstring scheme = L"http://";
    if (url.size() <= scheme.size() || _wcsnicmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) return false;
    size_t slash = url.find(L'/', scheme.size());
    if (slash == std::wstring::npos) return false;
    authority = url.substr(scheme.size(), slash - scheme.size());
    path = url.substr(slash);
    return bv::ParseHostPort(authority).has_value();
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {L"fetch", 2,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             std::wstring authority, path;
             if (!SplitUrl(args[0], authority, path) || args[1].empty()) return false;
             bv::Notify.Init(bv::NotifyCode::Download);
             module.FileFromURL(authority, path, args[1]);
             return true;
         },
         DownloadVerdict},
        {L"hello", 1,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             bv::Notify.Init(bv::NotifyCode::Hello);
             return module.RemoteHello(args[0]);
         },
         [](const std::vector<std::wstring>&) { return kExitSaved; }},
        {L"list", 2,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             bv::Notify.Init(bv::NotifyCode::FileList);
             return module.RemoteGetFiles(args[0], args[1]);
         },
         [](const std::vector<std::wstring>& lines) {
             for (const std::wstring& line : lines)
                 if (line == L"Error geting filelist from server") return kExitRefused;
             return kExitSaved;
         }},
        {L"put", 3,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             if (args[2].empty()) return false;
             bv::Notify.Init(bv::NotifyCode::FileSent);
             module.UploadFile(args[1], args[0], args[2]);
             return true;
         },
         [](const std::vector<std::wstring>& lines) {
             for (const std::wstring& line : lines)
                 if (StartsWith(line, L"Done, Status = 2") && line.size() > 17 && iswdigit(line[16]) && iswdigit(line[17]))
                     return kExitSaved;
             return kExitRefused;
         }},
        {L"get", 3,
         [](bv::TdmClient& module, const std::vector<std::wstring>& args) {
             if (args[2].size() < 2 || args[2][0] != L'/') return false;
             wchar_t folder[MAX_PATH];
             DWORD n = GetCurrentDirectoryW(MAX_PATH, folder);
             if (n == 0 || n >= MAX_PATH) return false;
             module.IncomingFolder.assign(folder, n);
             if (!module.IncomingFolder.empty() && module.IncomingFolder.back() == L'\\') module.IncomingFolder.pop_back();
             bv::Notify.Init(bv::NotifyCode::Download);
             module.FileFromServer(args[1], args[0], args[2]);
             return true;
         },
         DownloadVerdict},
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

int ExitCodeOf(const Command& command, const std::vector<std::wstring>& lines) {
    for (const std::wstring& line : lines)
        if (line == L"ResponseAbort") return kExitAborted;
    return command.verdict(lines);
}

// "HOST[:PORT]" into its parts; false for an empty host or a bad port.
bool SplitServer(const std::wstring& server, std::wstring& host, std::wstring& port) {
    std::optional<bv::HostPort> parsed = bv::ParseHostPort(server, 6060);
    if (!parsed) return false;
    host = parsed->host;
    port = std::to_wstring(parsed->port);
    return true;
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
        else if (arg.rfind(L"--server=", 0) == 0)
            options.server = arg.substr(9);
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
    std::wstring host, port;
    if (!options.server.empty() && !SplitServer(options.server, host, port)) return Usage("bad --server");

    bv::DeepLogging = options.log;
    std::vector<std::wstring> lines;
    DWORD elapsedMs = 0;
    {
        bv::TdmClient module;  // its events are handed to this thread
        if (!host.empty()) module.connection().SetServer(host, port);
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
    return ExitCodeOf(*command, lines);
}
