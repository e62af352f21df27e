// The log file: stamps, names, line shapes, failures and concurrency.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/fs.h"
#include "tests/test_dir.h"
#include "util/log.h"

namespace bv {
namespace {

os::LocalTime T(int y, int mo, int d, int h, int mi, int s, int ms) {
    return {y, mo, d, h, mi, s, ms};
}

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        dir_.Enter();
        ResetLogForTesting();
        DeepLogging = true;
        SetClock(T(2024, 4, 2, 9, 5, 7, 123));
    }
    void TearDown() override {
        DeepLogging = false;
        SetLogClockForTesting(nullptr);
        ResetLogForTesting();
    }
    void SetClock(os::LocalTime t) {
        now_ = t;
        SetLogClockForTesting([this] { return now_; });
    }
    std::string FileBytes() { return test::ReadHostFile(dir_.path() + "/" + Name()); }
    std::string Name() {
        std::wstring w = LogFileName();
        return std::string(w.begin(), w.end());
    }

    test::ScratchDir dir_;
    os::LocalTime now_;
};

TEST(LogStampTest, ShapesOfTheStamp) {
    EXPECT_EQ(LogStamp(T(2024, 4, 2, 9, 5, 7, 123)), L"2024-4-2 9-5-7-123");
    EXPECT_EQ(LogStamp(T(2024, 12, 25, 10, 17, 22, 345)), L"2024-12-25 10-17-22-345");
    EXPECT_EQ(LogStamp(T(2024, 4, 2, 0, 0, 0, 0)), L"2024-4-2");
    EXPECT_EQ(LogStamp(T(2024, 4, 2, 0, 0, 0, 1)), L"2024-4-2 0-0-0-1");
}

TEST_F(LogTest, OffWritesNothing) {
    DeepLogging = false;
    WriteLog(L"hello");
    EXPECT_TRUE(LogFileName().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(LogTest, FirstCallCreatesTheDatedFileWithTheBeginLine) {
    WriteLog(L"Form Create, 2 April 2024");
    EXPECT_EQ(Name(), "BVSTARTUP_2024-4-2 9-5-7-123.txt");
    EXPECT_EQ(FileBytes(),
              "2024-4-2 9-5-7-123     :  Logging begun.\r\n"
              "2024-4-2 9-5-7-123     :  Form Create, 2 April 2024\r\n");
}

TEST_F(LogTest, PrefixWidthEmptyTextAndEmbeddedBreaks) {
    SetClock(T(2024, 12, 25, 10, 17, 22, 345));
    WriteLog(L"");
    SetClock(T(2024, 4, 2, 0, 0, 0, 0));
    WriteLog(L"one\r\ntwo\nthree");
    EXPECT_EQ(FileBytes(),
              "2024-12-25 10-17-22-345:  Logging begun.\r\n"
              "2024-12-25 10-17-22-345:  \r\n"
              "2024-4-2     :  one\r\n"
              "two\r\n"
              "three\r\n");
}

TEST_F(LogTest, MidnightNamesTheFileByTheDateAlone) {
    SetClock(T(2024, 4, 2, 0, 0, 0, 0));
    WriteLog(L"x");
    EXPECT_EQ(Name(), "BVSTARTUP_2024-4-2.txt");
    EXPECT_EQ(FileBytes(), "2024-4-2     :  Logging begun.\r\n2024-4-2     :  x\r\n");
}

TEST_F(LogTest, AFileOfTheSameNameIsReplaced) {
    std::ofstream(dir_.path() + "/BVSTARTUP_2024-4-2 9-5-7-123.txt") << "old run\r\n";
    WriteLog(L"new");
    EXPECT_EQ(FileBytes(),
              "2024-4-2 9-5-7-123     :  Logging begun.\r\n2024-4-2 9-5-7-123     :  new\r\n");
}

TEST_F(LogTest, AnsiBytesAndUnmappableCharacters) {
    WriteLog(L"Espa\u00f1ol \u20ac \u4e2d");
    EXPECT_NE(FileBytes().find("Espa\xf1ol \x80 ?\r\n"), std::string::npos);
}

// Whatever happens to the file between calls, each call leaves exactly what
// reading it as lines, adding the line and rewriting it with CR LF gives.
TEST_F(LogTest, ChangesByOthersAreReadBackAndNormalised) {
    WriteLog(L"a");
    std::string path = dir_.path() + "/" + Name();
    std::ofstream(path, std::ios::app | std::ios::binary) << "foreign\nlone cr\rno end";
    WriteLog(L"b");
    EXPECT_EQ(FileBytes(),
              "2024-4-2 9-5-7-123     :  Logging begun.\r\n"
              "2024-4-2 9-5-7-123     :  a\r\n"
              "foreign\r\nlone cr\r\nno end\r\n"
              "2024-4-2 9-5-7-123     :  b\r\n");
    // The same size but other bytes (a rewrite by someone else) is also seen
    // when the time stamp moves.
    std::string bytes = FileBytes();
    bytes[0] = '3';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() +
                                               std::chrono::seconds(5));
    WriteLog(L"c");
    EXPECT_EQ(FileBytes().substr(0, 4), "3024");
    EXPECT_EQ(FileBytes().substr(FileBytes().size() - 29), "2024-4-2 9-5-7-123     :  c\r\n");
}

TEST_F(LogTest, AnUnwritableFileLosesTheLineAndTheNextCallGoesOn) {
    WriteLog(L"first");
    std::string path = dir_.path() + "/" + Name();
    std::string before = FileBytes();
    // A folder in the file's place stands for a file held by another program.
    std::filesystem::rename(path, path + ".aside");
    std::filesystem::create_directory(path);
    WriteLog(L"lost");
    std::filesystem::remove(path);
    std::filesystem::rename(path + ".aside", path);
    WriteLog(L"after");
    EXPECT_EQ(FileBytes(), before + "2024-4-2 9-5-7-123     :  after\r\n");
}

TEST_F(LogTest, AFailedFirstWriteStillFixesTheName) {
    std::filesystem::create_directory(dir_.path() + "/BVSTARTUP_2024-4-2 9-5-7-123.txt");
    WriteLog(L"lost");
    std::filesystem::remove(dir_.path() + "/BVSTARTUP_2024-4-2 9-5-7-123.txt");
    SetClock(T(2024, 4, 2, 9, 5, 8, 0));
    WriteLog(L"later");
    EXPECT_EQ(Name(), "BVSTARTUP_2024-4-2 9-5-7-123.txt");
    EXPECT_EQ(FileBytes(), "2024-4-2 9-5-8-0     :  later\r\n");
}

TEST_F(LogTest, ClientLogNamesBothThreads) {
    os::RecordMainThread();
    ClientLog(L"Connecting...");
    std::string bytes = FileBytes();
    char expected[128];
    std::snprintf(expected, sizeof expected, ":     (logg) Client: M%5u C%5u Connecting...\r\n",
                  os::MainThreadId(), os::CurrentThreadId());
    EXPECT_NE(bytes.find(expected), std::string::npos) << bytes;
}

TEST_F(LogTest, ConcurrentCallersKeepEveryLineWhole) {
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                WriteLog(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) +
                         L" end");
        });
    for (auto& th : threads) th.join();
    std::string bytes = FileBytes();
    size_t lines = 0, pos = 0;
    while ((pos = bytes.find("\r\n", pos)) != std::string::npos) ++lines, pos += 2;
    EXPECT_EQ(lines, 1u + kThreads * kLines);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; i += 37) {
            std::string line = "  thread " + std::to_string(t) + " line " + std::to_string(i) +
                               " end\r\n";
            EXPECT_NE(bytes.find(line), std::string::npos) << line;
        }
}

}  // namespace
}  // namespace bv
