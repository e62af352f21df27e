// The plain GET helpers, the internet check, the download-address lookup and
// the vendor host, against scripted HTTP servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "platform/fs.h"
#include "tests/web/script_server.h"
#include "util/log.h"
#include "util/error.h"
#include "web/http_get.h"
#include "web/internet.h"
#include "web/vendor.h"

namespace bv {
namespace {

using test::Answer;
using test::Pause;
using test::Script;
using test::ScriptServer;
using test::Send;

const char kUserAgentLine[] = "User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 6.0; SLCC1";
const char kAcceptLine[] = "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring Url(const ScriptServer& server, const std::string& path) {
    return Wide("http://localhost:" + std::to_string(server.port()) + path);
}

std::vector<std::string> HeaderLines(const std::string& request) {
    std::vector<std::string> lines;
    std::istringstream in(request);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        lines.push_back(line);
    }
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The log switched on into a fresh file for one test; its lines without
// their stamps.
class LogCapture {
public:
    LogCapture() {
        ResetLogForTesting();
        SetLogClockForTesting([] { return os::LocalTime{2031, 5, 6, 7, 8, 9, 10}; });
        DeepLogging = true;
    }
    ~LogCapture() {
        DeepLogging = false;
        if (!LogFileName().empty()) (void)fs::RemoveFile(LogFileName());
        SetLogClockForTesting(nullptr);
        ResetLogForTesting();
    }
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        if (LogFileName().empty()) return out;
        Result<std::string> bytes = fs::ReadFile(LogFileName());
        if (!bytes) return out;
        std::wstring text = os::FromAnsi(bytes.value());
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find(L"\r\n", at);
            if (end == std::wstring::npos) end = text.size();
            std::wstring line = text.substr(at, end - at);
            size_t mark = line.find(L":  ");
            if (mark != std::wstring::npos && line.substr(mark + 3) != L"Logging begun.")
                out.push_back(line.substr(mark + 3));
            at = end + 2;
        }
        return out;
    }
};

// DownloadToFile into a scratch file, with the hooks recorded.
class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::ForceDirectories(folder_));
        hooks_.ShowProgress = [this](const void*, WorkMode mode, int64_t count) {
            EXPECT_EQ(mode, WorkMode::Read);
            progress_.push_back(count);
        };
        hooks_.ShowStatus = [this](const std::wstring& text) { status_.push_back(text); };
    }
    void TearDown() override {
        (void)fs::RemoveFile(target_);
        (void)fs::RemoveFolder(folder_);
    }
    std::string Target() {
        Result<std::string> bytes = fs::ReadFile(target_);
        return bytes ? bytes.value() : "<no file>";
    }

    std::wstring folder_ = L"C:\\bvtest-web";
    std::wstring target_ = L"C:\\bvtest-web\\zoded.___";
    WebHooks hooks_;
    std::vector<int64_t> progress_;
    std::vector<std::wstring> status_;
};

TEST_F(DownloadTest, SendsTheExactHeadersAndWritesEachBlock) {
    ASSERT_TRUE(fs::WriteFile(target_, std::string(5000, 'o')));  // replaced, not overwritten
    ScriptServer server({Answer("200 OK", {"Content-Type: application/octet-stream"},
                                std::string(300, 'x') + std::string(300, 'y') + "end", 300, 150)});
    std::wstring url = Url(server, "/bvfiles/bvstartup/zoded.___");

    EXPECT_TRUE(DownloadToFile(url, target_, hooks_));
    EXPECT_EQ(Target(), std::string(300, 'x') + std::string(300, 'y') + "end");
    EXPECT_TRUE(status_.empty());
    ASSERT_GE(progress_.size(), 2u);  // the blocks arrive 150 ms apart
    EXPECT_EQ(progress_.back(), 603);
    for (size_t i = 1; i < progress_.size(); ++i) EXPECT_GT(progress_[i], progress_[i - 1]);

    ASSERT_EQ(server.connections(), 1);
    std::vector<std::string> lines = HeaderLines(server.requests()[0]);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "GET /bvfiles/bvstartup/zoded.___ HTTP/1.1");
    EXPECT_TRUE(Has(lines, "Host: localhost:" + std::to_string(server.port())));
    EXPECT_TRUE(Has(lines, kUserAgentLine));
    EXPECT_TRUE(Has(lines, kAcceptLine));
    EXPECT_TRUE(Has(lines, "Pragma: no-cache"));
    std::set<std::string> names;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string name = lines[i].substr(0, lines[i].find(':'));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(names.insert(name).second) << "header sent twice: " << lines[i];
        EXPECT_NE(name, "cookie");
        EXPECT_NE(name, "authorization");
    }
}

TEST_F(DownloadTest, EmptyBodyTwiceFailsSilentlyAndKeepsTheOldFile) {
    ASSERT_TRUE(fs::WriteFile(target_, "old contents"));
    ScriptServer server({Answer("200 OK", {}, "")});
    EXPECT_FALSE(DownloadToFile(Url(server, "/bvfiles/bvstartup/zoded.___"), target_, hooks_));
    EXPECT_EQ(server.connections(), 2);
    EXPECT_TRUE(status_.empty());
    EXPECT_EQ(Target(), "old contents");
    EXPECT_FALSE(fs::Stat(PartialFileOf(target_)).exists);
}

TEST_F(DownloadTest, RedirectIsNotFollowedAndFailsBothAttempts) {
    ScriptServer server({Answer("302 Found", {"Location: /bvfiles/elsewhere.___"}, "moved")});
    std::wstring url = Url(server, "/bvfiles/bvstartup/zoded.___");
    EXPECT_FALSE(DownloadToFile(url, target_, hooks_));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& r : requests)
        EXPECT_EQ(HeaderLines(r)[0], "GET /bvfiles/bvstartup/zoded.___ HTTP/1.1");
    EXPECT_EQ(status_, std::vector<std::wstring>{L"Failed to download from URL: " + url});
    EXPECT_FALSE(fs::Stat(target_).exists);
}

TEST_F(DownloadTest, ErrorStatusesFail) {
    for (const char* status : {"404 Not Found", "500 Internal Server Error", "199 Odd", "300 Choices"}) {
        SCOPED_TRACE(status);
        status_.clear();
        ScriptServer server({Answer(status, {}, "page body")});
        std::wstring url = Url(server, "/f");
        EXPECT_FALSE(DownloadToFile(url, target_, hooks_));
        EXPECT_EQ(server.connections(), 2);
        EXPECT_EQ(status_, std::vector<std::wstring>{L"Failed to download from URL: " + url});
        EXPECT_FALSE(fs::Stat(target_).exists);
    }
}

TEST_F(DownloadTest, CutFirstAttemptLeavesExactlyTheRetrysBody) {
    std::string full(4000, 'a');
    full += std::string(4000, 'b');
    Script cut{Send("HTTP/1.1 200 OK\r\nContent-Length: 8000\r\n\r\n" + std::string(3000, 'z'))};
    ScriptServer server({cut, Answer("200 OK", {}, full, 2000, 20)});
    EXPECT_TRUE(DownloadToFile(Url(server, "/bvfiles/bvstartup/zoded.___"), target_, hooks_));
    EXPECT_EQ(server.connections(), 2);
    std::string got = Target();
    EXPECT_EQ(got.size(), full.size());
    EXPECT_TRUE(got == full);
    EXPECT_TRUE(status_.empty());
    EXPECT_EQ(progress_.back(), 8000);  // the retry counts from zero
}

TEST_F(DownloadTest, ResetFirstAttemptIsRetried) {
    Script reset{Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhalf"), Pause(50), test::Reset()};
    ScriptServer server({reset, Answer("200 OK", {}, "whole")});
    EXPECT_TRUE(DownloadToFile(Url(server, "/x"), target_, hooks_));
    EXPECT_EQ(Target(), "whole");
}

// A failed download tells why: the final attempt's answer status, a body
// cut short, an empty body; a success leaves nothing to tell.
TEST_F(DownloadTest, FailuresTellWhy) {
    struct Case {
        const char* name;
        Script script;
        bool saved;
        std::wstring why;  // the start of the error's detail
    };
    const Case cases[] = {
        {"status", Answer("404 Not Found", {}, "page body"), false, L"HTTP/1.1 404 Not Found"},
        {"cut", Script{Send("HTTP/1.1 200 OK\r\nContent-Length: 8000\r\n\r\n" + std::string(3000, 'z'))}, false,
         L"Connection closed after 3000 of 8000 bytes"},
        {"empty", Answer("200 OK", {}, ""), false, L"the server sent an empty body"},
        {"saved", Answer("200 OK", {}, "data"), true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptServer server({c.script});
        Result<void> result = DownloadFile(Url(server, "/f"), target_, hooks_);
        EXPECT_EQ(result.ok(), c.saved);
        std::wstring why = result ? L"" : result.error().detail;
        EXPECT_EQ(why.substr(0, c.why.size()), c.why) << os::ToUtf8(why);
        if (c.why.empty()) {
            EXPECT_EQ(why, L"");
        } else {
            EXPECT_EQ(result.error().code, kDownloadFailed);
        }
    }
}

// A checked download hashes exactly the bytes it keeps: after a first
// attempt cut short, only the retry's body counts. A check that refuses the
// digest leaves no file and says why; no check, no hashing needed.
TEST_F(DownloadTest, ChecksTheSha256OfTheBodyItKeeps) {
    const std::string body = std::string(70000, 'a') + "the end";
    crypto::Sha256 hash;
    crypto::Sha256Digest expected{};
    ASSERT_TRUE(hash.Update(body.data(), body.size()) && hash.Final(expected));
    const Script cut{Send("HTTP/1.1 200 OK\r\nContent-Length: 70007\r\n\r\n" + body.substr(0, 30000))};
    struct Case {
        const char* name;
        std::vector<Script> scripts;
        bool refuse;  // the check refuses every digest
        bool saved;
    };
    const Case cases[] = {
        {"whole", {Answer("200 OK", {}, body, 4096)}, false, true},
        {"retried", {cut, Answer("200 OK", {}, body, 4096)}, false, true},
        {"refused", {Answer("200 OK", {}, body)}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        (void)fs::RemoveFile(target_);
        ScriptServer server(c.scripts);
        std::vector<crypto::Sha256Digest> seen;
        DigestCheck check = [&](const crypto::Sha256Digest& digest) -> Result<void> {
            seen.push_back(digest);
            if (c.refuse) return Error{7, 0, L"SHA-256 differs from the vendor's signed list"};
            return {};
        };
        Result<void> result = DownloadFile(Url(server, "/f"), target_, hooks_, check);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], expected);
        EXPECT_EQ(result.ok(), c.saved);
        EXPECT_EQ(fs::Stat(target_).exists, c.saved);
        EXPECT_FALSE(fs::Stat(PartialFileOf(target_)).exists);
        if (!c.saved) {
            EXPECT_EQ(result.error().code, kDownloadUntrusted);
            EXPECT_EQ(result.error().detail, L"SHA-256 differs from the vendor's signed list");
        }
    }
}

// A body of distinct bytes, so a piece in the wrong place shows.
std::string Pattern(size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + i / 251 + seed) % 256);
    return out;
}

crypto::Sha256Digest DigestOf(const std::string& bytes) {
    crypto::Sha256 hash;
    crypto::Sha256Digest digest{};
    EXPECT_TRUE(hash.Update(bytes.data(), bytes.size()) && hash.Final(digest));
    return digest;
}

std::string Head(const std::string& status, const std::vector<std::string>& headers) {
    std::string out = "HTTP/1.1 " + status + "\r\n";
    for (const std::string& h : headers) out += h + "\r\n";
    return out + "\r\n";
}

// A cut first attempt is continued where the answer allows it and started
// over where it does not; a body that does not end where its head says is
// never saved. In every case a file already at the destination stays as it
// was until a whole, checked replacement is put in its place, and no partial
// file is left behind. The check sees the digest of the whole file, also
// when it was put together from two answers.
TEST_F(DownloadTest, ResumedRestartedAndBrokenBodies) {
    const std::string body = Pattern(200000, 1), changed = Pattern(200000, 2);
    const std::string n = "70000", rest = std::to_string(200000 - 70000);
    const std::string etag = "ETag: \"v1\"", modified = "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT";
    auto cutAfter = [&](const std::vector<std::string>& headers) {
        std::vector<std::string> h = headers;
        h.push_back("Content-Length: 200000");
        return Script{Send(Head("200 OK", h) + body.substr(0, 70000))};
    };
    const Script continued{Send(Head("206 Partial Content", {etag, "Content-Range: bytes 70000-199999/200000",
                                                             "Content-Length: " + rest}) +
                                body.substr(70000))};
    struct Case {
        const char* name;
        std::vector<Script> scripts;  // the last one serves every further connection
        std::string saved;            // empty: not saved
        std::string range;            // the retry's Range and If-Range lines ("" when none)
        std::string ifRange;
    };
    const Case cases[] = {
        {"cut once, range honoured", {cutAfter({etag}), continued}, body, "Range: bytes=70000-", "If-Range: \"v1\""},
        {"Last-Modified as validator",
         {cutAfter({modified}),
          Script{Send(Head("206 Partial Content", {"Content-Range: bytes 70000-199999/200000"}) + body.substr(70000))}},
         body, "Range: bytes=70000-", "If-Range: Tue, 01 Dec 2026 10:00:00 GMT"},
        {"range ignored: started over", {cutAfter({etag}), Answer("200 OK", {etag}, body, 50000)}, body,
         "Range: bytes=70000-", "If-Range: \"v1\""},
        {"file changed: If-Range fails", {cutAfter({etag}), Answer("200 OK", {"ETag: \"v2\""}, changed)}, changed,
         "Range: bytes=70000-", "If-Range: \"v1\""},
        {"416", {cutAfter({etag}), Answer("416 Range Not Satisfiable", {}, "")}, "", "Range: bytes=70000-",
         "If-Range: \"v1\""},
        {"206 at another offset",
         {cutAfter({etag}), Script{Send(Head("206 Partial Content", {"Content-Range: bytes 0-199999/200000",
                                                                      "Content-Length: 200000"}) + body)}},
         "", "Range: bytes=70000-", "If-Range: \"v1\""},
        {"206 of another total",
         {cutAfter({etag}), Script{Send(Head("206 Partial Content", {"Content-Range: bytes 70000-199999/300000",
                                                                      "Content-Length: " + rest}) + body.substr(70000))}},
         "", "Range: bytes=70000-", "If-Range: \"v1\""},
        {"no validator: started over", {cutAfter({}), Answer("200 OK", {}, body)}, body, "", ""},
        // Bodies that do not end where their head says, on both attempts.
        {"shorter than Content-Length", {cutAfter({})}, "", "", ""},
        {"longer than Content-Length", {Script{Send(Head("200 OK", {"Content-Length: 10"}) + "0123456789abcdefghij")}},
         "", "", ""},
        {"chunked, cut in a chunk",
         {Script{Send(Head("200 OK", {"Transfer-Encoding: chunked"}) + "5\r\nhello\r\n5\r\nwor")}}, "", "", ""},
        {"chunked, cut before the last chunk",
         {Script{Send(Head("200 OK", {"Transfer-Encoding: chunked"}) + "5\r\nhello\r\n")}}, "", "", ""},
        {"chunked, whole",
         {Script{Send(Head("200 OK", {"Transfer-Encoding: chunked"}) + "5\r\nhello\r\n5;x=y\r\nworld\r\n0\r\n\r\n")}},
         "helloworld", "", ""},
        {"Content-Length not digits", {Script{Send(Head("200 OK", {"Content-Length: 1e1"}) + "0123456789")}}, "", "",
         ""},
        {"Content-Length signed", {Script{Send(Head("200 OK", {"Content-Length: +10"}) + "0123456789")}}, "", "", ""},
        {"two different Content-Lengths",
         {Script{Send(Head("200 OK", {"Content-Length: 10", "Content-Length: 12"}) + "0123456789ab")}}, "", "", ""},
        {"two equal Content-Lengths",
         {Script{Send(Head("200 OK", {"Content-Length: 10", "Content-Length: 10"}) + "0123456789")}}, "0123456789",
         "", ""},
        {"Content-Length beside chunked",
         {Script{Send(Head("200 OK", {"Content-Length: 5", "Transfer-Encoding: chunked"}) + "5\r\nhello\r\n0\r\n\r\n")}},
         "", "", ""},
        {"no length, to the close", {Script{Send(Head("200 OK", {}) + "to the close")}}, "to the close", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(fs::WriteFile(target_, "old contents"));
        progress_.clear();
        ScriptServer server(c.scripts);
        std::vector<crypto::Sha256Digest> seen;
        DigestCheck check = [&](const crypto::Sha256Digest& digest) -> Result<void> {
            seen.push_back(digest);
            return {};
        };
        Result<void> result = DownloadFile(Url(server, "/f"), target_, hooks_, check);
        EXPECT_EQ(result.ok(), !c.saved.empty()) << (result ? "" : os::ToUtf8(result.error().detail));
        std::string got = Target();
        if (c.saved.empty()) {
            EXPECT_EQ(got, "old contents");
            EXPECT_TRUE(seen.empty());
        } else {
            EXPECT_EQ(got.size(), c.saved.size());
            EXPECT_TRUE(got == c.saved);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], DigestOf(c.saved));
            EXPECT_EQ(progress_.back(), static_cast<int64_t>(c.saved.size()));
        }
        EXPECT_FALSE(fs::Stat(PartialFileOf(target_)).exists);
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), c.saved.empty() || c.scripts.size() > 1 ? 2u : 1u);
        if (requests.size() < 2) continue;
        std::vector<std::string> first = HeaderLines(requests[0]), retry = HeaderLines(requests[1]);
        for (const std::string& line : first) EXPECT_NE(line.rfind("Range", 0), 0u) << line;
        if (c.range.empty()) {
            for (const std::string& line : retry) EXPECT_EQ(line.find("Range"), std::string::npos) << line;
        } else {
            EXPECT_TRUE(Has(retry, c.range));
            EXPECT_TRUE(Has(retry, c.ifRange));
        }
    }
}

// The progress of a continued file counts the whole file: it goes on from
// the bytes already there.
TEST_F(DownloadTest, ProgressOfAContinuedFileCountsTheWholeFile) {
    const std::string body = Pattern(200000, 3);
    ScriptServer server({Script{Send(Head("200 OK", {"ETag: \"a\"", "Content-Length: 200000"}) + body.substr(0, 70000))},
                         Answer("206 Partial Content", {"Content-Range: bytes 70000-199999/200000"},
                                body.substr(70000), 20000, 20)});
    ASSERT_TRUE(DownloadToFile(Url(server, "/f"), target_, hooks_));
    EXPECT_TRUE(Target() == body);
    auto restart = std::find_if(progress_.begin(), progress_.end(), [](int64_t p) { return p >= 70000; });
    ASSERT_NE(restart, progress_.end());
    for (auto at = restart + 1; at != progress_.end(); ++at) EXPECT_GT(*at, 70000) << "counted from zero again";
    EXPECT_EQ(progress_.back(), 200000);
}

// A call that failed with a partial file it could continue keeps it; the
// next call for the same file (the Retry) asks for the rest and the check
// sees the digest of the whole file, its kept bytes included. Discarding the
// partial file makes the next call start over.
TEST_F(DownloadTest, ANextCallContinuesTheKeptPartialFile) {
    const std::string body = Pattern(300000, 4);
    const std::string etag = "ETag: \"k\"";
    ASSERT_TRUE(fs::WriteFile(target_, "old contents"));
    {
        ScriptServer server({Script{Send(Head("200 OK", {etag, "Content-Length: 300000"}) + body.substr(0, 100000))},
                             Script{Send(Head("206 Partial Content", {etag, "Content-Range: bytes 100000-299999/300000"}) +
                                         body.substr(100000, 100000))}});
        EXPECT_FALSE(DownloadToFile(Url(server, "/f"), target_, hooks_));
        EXPECT_EQ(Target(), "old contents");
        Result<std::string> part = fs::ReadFile(PartialFileOf(target_));
        ASSERT_TRUE(part);
        EXPECT_TRUE(part.value() == body.substr(0, 200000));
    }
    ScriptServer server({Script{Send(Head("206 Partial Content", {etag, "Content-Range: bytes 200000-299999/300000"}) +
                                     body.substr(200000))}});
    std::vector<crypto::Sha256Digest> seen;
    Result<void> result = DownloadFile(Url(server, "/f"), target_, hooks_, [&](const crypto::Sha256Digest& d) {
        seen.push_back(d);
        return Result<void>();
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(Target() == body);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], DigestOf(body));
    std::vector<std::string> lines = HeaderLines(server.requests().at(0));
    EXPECT_TRUE(Has(lines, "Range: bytes=200000-"));
    EXPECT_TRUE(Has(lines, "If-Range: \"k\""));
    EXPECT_FALSE(fs::Stat(PartialFileOf(target_)).exists);

    // Kept, then discarded: the next call asks for the whole file.
    {
        ScriptServer cut({Script{Send(Head("200 OK", {etag, "Content-Length: 300000"}) + body.substr(0, 100000))}});
        EXPECT_FALSE(DownloadToFile(Url(cut, "/f"), target_, hooks_));
    }
    EXPECT_TRUE(fs::Stat(PartialFileOf(target_)).exists);
    DiscardPartial(target_);
    EXPECT_FALSE(fs::Stat(PartialFileOf(target_)).exists);
    ScriptServer whole({Answer("200 OK", {etag}, body)});
    EXPECT_TRUE(DownloadToFile(Url(whole, "/f"), target_, hooks_));
    for (const std::string& line : HeaderLines(whole.requests().at(0))) EXPECT_EQ(line.find("Range"), std::string::npos);
    EXPECT_TRUE(Target() == body);
}

TEST_F(DownloadTest, SilentServerTimesOutAfter3000ThenAfter6000Ms) {
    ScriptServer server({Script{Pause(30000)}});
    std::wstring url = Url(server, "/bvfiles/bvstartup/zoded.___");
    auto start = std::chrono::steady_clock::now();
    Result<void> result = DownloadFile(url, target_, hooks_);
    EXPECT_FALSE(result);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 8500);
    EXPECT_LT(took, 12000);
    // The server notices the client's last close within a few ticks.
    for (int i = 0; i < 100 && server.closeTimes().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<int64_t> opened = server.acceptTimes(), closed = server.closeTimes();
    ASSERT_EQ(opened.size(), 2u);
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_NEAR(closed[0] - opened[0], 3000, 600);
    EXPECT_NEAR(closed[1] - opened[1], 6000, 600);
    EXPECT_EQ(status_, std::vector<std::wstring>{L"Failed to download from URL: " + url});
    EXPECT_EQ(result.error().detail, L"The operation timed out");
    EXPECT_FALSE(fs::Stat(target_).exists);
}

TEST_F(DownloadTest, MissingTargetFolderRaisesBeforeAnyRequest) {
    ScriptServer server({Answer("200 OK", {}, "data")});
    std::wstring path = L"C:\\bvtest-web\\missing\\zoded.___";
    try {
        DownloadToFile(Url(server, "/x"), path);
        ADD_FAILURE() << "no error raised";
    } catch (const AppError& e) {
        EXPECT_EQ(e.kind(), L"EFCreateError");
        EXPECT_EQ(e.message().rfind(L"Cannot create file \"" + path + L"\". ", 0), 0u)
            << os::ToUtf8(e.message());
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST(FileSizeOfTest, SizeMinusOneOrOpenError) {
    std::wstring path = L"C:\\bvtest-size.bin";
    ASSERT_TRUE(fs::WriteFile(path, "12345"));
    EXPECT_EQ(FileSizeOf(path), 5);
    {
        fs::File held;
        ASSERT_TRUE(held.Open(path, fs::FileMode::CreateExclusive));  // shared with nobody
        try {
            FileSizeOf(path);
            ADD_FAILURE() << "no error raised";
        } catch (const AppError& e) {
            EXPECT_EQ(e.kind(), L"EFOpenError");
            EXPECT_EQ(e.message().rfind(L"Cannot open file \"" + path + L"\". ", 0), 0u);
        }
    }
    ASSERT_TRUE(fs::RemoveFile(path));
    EXPECT_EQ(FileSizeOf(path), -1);
    EXPECT_EQ(FileSizeOf(L"C:\\windows"), -1);  // a folder is no file
}

TEST(GetURLAsStringTest, ReturnsTheBodyAndLogsItsStart) {
    LogCapture log;
    ScriptServer server({Answer("200 OK", {"Content-Type: text/plain; charset=utf-8"},
                                "Gr\xC3\xBC\xC3\x9F" "e aus dem Stall, 31 Zeichen")});
    std::wstring url = Url(server, "/values/text");
    EXPECT_EQ(GetURLAsString(url), L"Gr\u00FC\u00DFe aus dem Stall, 31 Zeichen");
    std::vector<std::string> lines = HeaderLines(server.requests().at(0));
    EXPECT_TRUE(Has(lines, kUserAgentLine));
    for (const std::string& line : lines) EXPECT_NE(line.rfind("Pragma", 0), 0u) << line;
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"GetURLAsString started for " + url,
                               L"http url is " + url + L". Attempting GET",
                               L"GET Result is 31 chars,  Gr\u00FC\u00DFe aus dem Stall,"}));
}

TEST(GetURLAsStringTest, FailureGivesEmptyTextAndLogsTheError) {
    LogCapture log;
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(ScriptServer::UnusedPort()) + L"/x";
    EXPECT_EQ(GetURLAsString(url), L"");
    ScriptServer server({Answer("404 Not Found", {}, "no")});
    EXPECT_EQ(GetURLAsString(Url(server, "/y")), L"");
    std::vector<std::wstring> lines = log.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].rfind(L"GET failed:  ", 0), 0u);
    EXPECT_GT(lines[2].size(), 13u);  // with the error's message
    EXPECT_EQ(lines[5], L"GET failed:  HTTP/1.1 404 Not Found");
}

TEST(GetURLAsStringTest, UnansweredConnectGivesUpAfter3000Ms) {
    test::FullListener full;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetURLAsString(L"http://127.0.0.1:" + std::to_wstring(full.port()) + L"/x"), L"");
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(took, 3000, 700);
}

TEST(VendorHostTest, CommandLineOverride) {
    struct Case {
        std::vector<std::wstring> params;
        bool found;
        std::wstring host;
        uint16_t port;
    };
    const std::wstring built = L"" BV_TEST_VENDOR_HOST;
    const Case cases[] = {
        {{}, false, built, 80},
        {{L"-L", L"--vendor-host=mirror.example"}, true, L"mirror.example", 80},
        {{L"--vendor-host=127.0.0.1:8080", L"-P"}, true, L"127.0.0.1", 8080},
        {{L"--vendor-host=a.example:81", L"--vendor-host=b.example"}, true, L"b.example", 80},
        // Not this option: the host stays the build's.
        {{L"-vendor-host=h", L"--vendor-hosts=h", L"vendor-host=h"}, false, built, 80},
    };
    for (const Case& c : cases) {
        ResetVendorHostForTesting();
        Result<bool> parsed = ParseVendorHostOption(c.params);
        ASSERT_TRUE(parsed) << parsed.error().detail;
        EXPECT_EQ(parsed.value(), c.found);
        EXPECT_EQ(VendorHost(), c.host);
        EXPECT_EQ(VendorPort(), c.port);
    }
    ASSERT_TRUE(ParseVendorHostOption({L"--vendor-host=mirror.example:8080"}));
    EXPECT_EQ(VendorAuthority(), L"mirror.example:8080");
    ResetVendorHostForTesting();
    EXPECT_EQ(VendorAuthority(), built);
}

// A malformed host is an error that names the option, wherever it stands
// among good ones, and no host of the command line is applied.
TEST(VendorHostTest, MalformedValuesAreRefused) {
    const std::wstring built = L"" BV_TEST_VENDOR_HOST;
    const wchar_t* bad[] = {
        L"--vendor-host=",           L"--vendor-host",           L"--vendor-host=:80",
        L"--vendor-host=h:0",        L"--vendor-host=h:70000",   L"--vendor-host=h:65536",
        L"--vendor-host=h:x1",       L"--vendor-host=h:",        L"--vendor-host=gar$bage!",
        L"--vendor-host=http://x/",  L"--vendor-host=x/bvfiles", L"--vendor-host=a b",
        L"--vendor-host=[::1]:80",
    };
    for (const wchar_t* option : bad) {
        for (const std::vector<std::wstring>& params :
             {std::vector<std::wstring>{option}, std::vector<std::wstring>{L"--vendor-host=good.example:81", option},
              std::vector<std::wstring>{option, L"--vendor-host=good.example:81"}}) {
            SCOPED_TRACE(testing::PrintToString(params));
            ResetVendorHostForTesting();
            Result<bool> parsed = ParseVendorHostOption(params);
            ASSERT_FALSE(parsed);
            EXPECT_NE(parsed.error().detail.find(std::wstring(L"bad option ") + option + L":"), std::wstring::npos)
                << testing::PrintToString(parsed.error().detail);
            EXPECT_EQ(VendorAuthority(), built);
        }
    }
    ResetVendorHostForTesting();
}

TEST(CheckForInternetTest, ListeningRefusedUnresolvableAndSkipped) {
    ScriptServer server({Script{}});
    std::wstring listening = L"localhost:" + std::to_wstring(server.port());
    std::wstring refused = L"127.0.0.1:" + std::to_wstring(ScriptServer::UnusedPort());
    std::wstring unknown = L"no-such-host.invalid";
    test::FullListener full;
    std::wstring unanswered = L"127.0.0.1:" + std::to_wstring(full.port());
    std::wstring unansweredByName = L"localhost:" + std::to_wstring(full.port());
    {
        LogCapture log;
        EXPECT_TRUE(CheckForInternet(listening, 2000));
        EXPECT_FALSE(CheckForInternet(refused, 2000));
        EXPECT_FALSE(CheckForInternet(unknown, 2000));
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(CheckForInternet(unanswered, 400));
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
        EXPECT_NEAR(took, 400, 300);
        // By name, the lookup and the connect share one deadline: the whole
        // check ends within the timeout and a margin, not twice the timeout.
        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(CheckForInternet(unansweredByName, 1500));
        took = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(took, 1500 + 700);
        EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                                   L"CheckForInternet at " + listening,
                                   L"CheckForInternet returned TRUE from " + listening,
                                   L"CheckForInternet at " + refused,
                                   L"CheckForInternet returned FALSE from " + refused,
                                   L"CheckForInternet at " + unknown,
                                   L"CheckForInternet returned FALSE from " + unknown,
                                   L"CheckForInternet at " + unanswered,
                                   L"CheckForInternet returned FALSE from " + unanswered,
                                   L"CheckForInternet at " + unansweredByName,
                                   L"CheckForInternet returned FALSE from " + unansweredByName}));
    }
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.requests().at(0), "");  // nothing was sent

    LogCapture log;
    SkipInternetCheck = true;
    EXPECT_TRUE(CheckForInternet(refused, 2000));
    EXPECT_TRUE(CheckForInternet(listening, 2000));
    SkipInternetCheck = false;
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Skipping CheckForInternet at " + refused,
                                                      L"Skipping CheckForInternet at " + listening}));
}

TEST(GetServerBaseURLTest, ValueFileBodies) {
    struct Case {
        std::string body;
        std::wstring expected;  // empty: the fallback address
        std::wstring noAddress;  // the log line before the fallback's, if any
    };
    const Case cases[] = {
        {"http://files.example/dl", L"http://files.example/dl/", L""},
        {"http://files.example/dl/", L"http://files.example/dl/", L""},
        {"http://files.example/dl\r\n", L"http://files.example/dl/", L""},
        {"  http://files.example/dl/\n", L"http://files.example/dl/", L""},
        {"HTTP://files.example/dl", L"HTTP://files.example/dl/", L""},
        // No address: a failed lookup, with the body's start logged.
        {"", L"", L"GetServerBaseURL: the value file holds no address (0 bytes): "},
        {"\r\n", L"", L"GetServerBaseURL: the value file holds no address (2 bytes):   "},
        {"<html>\n<head><title>Sign in to the hotel network</title></head></html>", L"",
         L"GetServerBaseURL: the value file holds no address (70 bytes): <html> <head><title>Sign in to the hotel"},
        {"ftp://files.example/dl/", L"", L"GetServerBaseURL: the value file holds no address (23 bytes): ftp://files.example/dl/"},
        // Up to 4 KiB is read; a larger body is no value file.
        {"http://files.example/dl/" + std::string(4096 - 24, ' '), L"http://files.example/dl/", L""},
        {"http://files.example/dl/" + std::string(4097 - 24, ' '), L"",
         L"GetServerBaseURL: the value file is larger than 4096 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        ScriptServer server({Answer("200 OK", {"Content-Type: text/plain"}, c.body)});
        ASSERT_TRUE(ParseVendorHostOption({L"--vendor-host=LocalHost:" + std::to_wstring(server.port())}));
        std::wstring expected =
            c.expected.empty() ? L"http://LocalHost:" + std::to_wstring(server.port()) + L"/bvfiles/bvstartup/" : c.expected;
        LogCapture log;
        EXPECT_EQ(GetServerBaseURL(), expected);
        std::vector<std::wstring> logged;
        if (!c.noAddress.empty()) logged.push_back(c.noAddress);
        logged.push_back(L"Ostrel URL is " + expected);
        EXPECT_EQ(log.Lines(), logged);
        std::vector<std::string> lines = HeaderLines(server.requests().at(0));
        EXPECT_EQ(lines.at(0), "GET /values/bvstartup.url HTTP/1.1");
        EXPECT_TRUE(Has(lines, "Host: localhost:" + std::to_string(server.port())));
        EXPECT_TRUE(Has(lines, "Pragma: no-cache"));
        EXPECT_TRUE(Has(lines, kUserAgentLine));
    }
    ResetVendorHostForTesting();
}

TEST(GetServerBaseURLTest, FailuresGiveTheFallbackAddress) {
    ScriptServer notFound({Answer("404 Not Found", {}, "http://wrong.example/")});
    ScriptServer redirect({Answer("301 Moved", {"Location: http://wrong.example/"}, "")});
    for (const ScriptServer* server : {&notFound, &redirect}) {
        ASSERT_TRUE(ParseVendorHostOption({L"--vendor-host=localhost:" + std::to_wstring(server->port())}));
        std::wstring fallback =
            L"http://localhost:" + std::to_wstring(server->port()) + L"/bvfiles/bvstartup/";
        LogCapture log;
        EXPECT_EQ(GetServerBaseURL(), fallback);
        EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Ostrel URL is " + fallback});
        EXPECT_EQ(server->connections(), 1);
    }
    ResetVendorHostForTesting();
}

}  // namespace
}  // namespace bv
