// The cost of a log call as the file grows: our WriteLog (which appends while
// the file is as it left it) next to a naive read-append-rewrite, 20,000 calls
// each, timed over the first and the last thousand.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/os.h"
#include "util/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// What each call would cost if it read the whole file and wrote it back.
void NaiveWriteLog(const std::wstring& file, const std::string& line) {
    bv::Result<std::string> read = bv::fs::ReadFile(file);
    std::string old = read ? read.value() : std::string();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < old.size()) {
        size_t end = old.find("\r\n", pos);
        if (end == std::string::npos) end = old.size();
        lines.push_back(old.substr(pos, end - pos));
        pos = end + 2;
    }
    lines.push_back(line);
    std::string out;
    for (const std::string& l : lines) out += l + "\r\n";
    (void)bv::fs::WriteFile(file, out);
}

struct Timing {
    double firstUs, lastUs;
};

template <class Call>
Timing Measure(int calls, Call call) {
    double first = 0, last = 0;
    for (int i = 0; i < calls; ++i) {
        auto t0 = Clock::now();
        call(i);
        double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (i < 1000) first += us;
        if (i >= calls - 1000) last += us;
    }
    return {first / 1000, last / 1000};
}

}  // namespace

int main(int argc, char** argv) {
    int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "bv-log-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);

    const std::wstring text = L"DownloadFileDirect url = http://downloads.bovista.example/bvfiles/bvstartup/zoded.___";
    bv::DeepLogging = true;
    Timing ours = Measure(calls, [&](int) { bv::WriteLog(text); });
    uintmax_t size = std::filesystem::file_size(dir / std::filesystem::path(bv::LogFileName()));

    const std::string line = "2024-4-2 9-5-7-123     :  " + std::string(text.begin(), text.end());
    Timing naive = Measure(calls, [&](int) { NaiveWriteLog(L"naive.txt", line); });

    std::printf("log calls: %d, final file %ju bytes\n", calls, size);
    std::printf("%-22s %14s %14s %10s\n", "", "first 1000", "last 1000", "last/first");
    std::printf("%-22s %11.1f us %11.1f us %10.2f\n", "WriteLog", ours.firstUs, ours.lastUs, ours.lastUs / ours.firstUs);
    std::printf("%-22s %11.1f us %11.1f us %10.2f\n", "naive read-rewrite", naive.firstUs, naive.lastUs,
                naive.lastUs / naive.firstUs);
    std::printf("naive / WriteLog over the last 1000 calls: %.1fx\n", naive.lastUs / ours.lastUs);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 0;
}
