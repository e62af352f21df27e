// bvget: the wizard's plain download (DownloadToFile: WinInet, no proxy, one
// retry) from the command line, for benchmarks and people trying a mirror.
//
//   bvget [--peak-memory] [--sha256] http://HOST[:PORT]/PATH DEST
//
// Prints "Saved to DEST" or the failure's cause. Exit status: 0 saved,
// 1 failed, 2 wrong command line. With --sha256 the body is hashed while it
// is written, as the wizard's checked downloads do, and the digest printed
// ("SHA-256 <hex>"). With --peak-memory it also prints, on standard error,
// the process's peak working set, the time of the download and the number
// of progress reports it made.
#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/os.h"
#include "util/error.h"
#include "web/http_get.h"

int wmain(int argc, wchar_t** argv) {
    bv::os::RecordMainThread();
    int i = 1;
    bool peakMemory = false;
    bool sha256 = false;
    for (; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--peak-memory") peakMemory = true;
        else if (option == L"--sha256") sha256 = true;
        else break;
    }
    if (argc - i != 2 || argv[i + 1][0] == L'\0') {
        std::fputs("usage: bvget [--peak-memory] [--sha256] http://HOST[:PORT]/PATH DEST\n", stderr);
        return 2;
    }
    const std::wstring url = argv[i], dest = argv[i + 1];
    // Progress reports are counted, not shown: the cost of showing them is
    // the caller's.
    uint64_t reports = 0;
    bv::WebHooks hooks;
    hooks.ShowProgress = [&](const void*, bv::WorkMode, int64_t) { ++reports; };
    DWORD started = GetTickCount();
    bool saved = false;
    std::wstring failure;
    std::string digestHex;
    bv::DigestCheck check;
    if (sha256)
        check = [&](const bv::crypto::Sha256Digest& digest) -> bv::Result<void> {
            for (uint8_t b : digest) {
                static const char kHex[] = "0123456789abcdef";
                digestHex += kHex[b >> 4];
                digestHex += kHex[b & 15];
            }
            return {};
        };
    try {
        bv::Result<void> result = bv::DownloadFile(url, dest, hooks, check);
        saved = result.ok();
        if (!saved) failure = result.error().detail;
    } catch (const bv::AppError& e) {
        failure = e.message();
    }
    DWORD elapsedMs = GetTickCount() - started;
    if (saved && sha256) std::printf("SHA-256 %s\n", digestHex.c_str());
    if (saved)
        std::printf("Saved to %s\n", bv::os::ToUtf8(dest).c_str());
    else
        std::printf("Failed: %s\n", bv::os::ToUtf8(failure).c_str());
    std::fflush(stdout);
    if (peakMemory) {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
            std::fprintf(stderr, "peak working set: %llu KB, operation: %lu ms, progress reports: %llu\n",
                         static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024),
                         static_cast<unsigned long>(elapsedMs), static_cast<unsigned long long>(reports));
    }
    return saved ? 0 : 1;
}
