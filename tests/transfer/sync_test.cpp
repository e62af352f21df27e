// Requests to the sync server (query escaping, call bodies) and the result
// handlers' mailbox posts and log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "util/log.h"
#include "transfer/http_client.h"
#include "transfer/notify.h"
#include "transfer/sync_requests.h"
#include "transfer/sync_results.h"

namespace bv {
namespace {

using xmlrpc::Value;

TEST(SyncRequestTest, QueryValueEscaping) {
    struct Case {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"Herd 12 (A&B).txt", L"Herd+12+(A%26B).txt"},
        {L"Herd 12.dat", L"Herd+12.dat"},
        {L"AZaz09$()*,-./:@_", L"AZaz09$()*,-./:@_"},
        {L"a&b;c=d?e", L"a%26b%3Bc%3Dd%3Fe"},
        {L"+%~#\"'<>[]\\!", L"%2B%25%7E%23%22%27%3C%3E%5B%5D%5C%21"},
        {L"\t\r\n", L"%09%0D%0A"},
        {L"K\u00E4se.txt", L"K%C3%A4se.txt"},
        {L"\u725B \U0001F404.dat", L"%E7%89%9B+%F0%9F%90%84.dat"},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(EscapeQueryValue(c.in), c.out);
}

// The query as the connection sends it, after the path.
std::wstring Sent(const QueryEntries& entries) {
    httpRequest request;
    request.query = entries;
    return request.Target();
}

TEST(SyncRequestTest, UploadQuery) {
    UploadQuery q = BuildUploadQuery(L"7", L"12", L"C:\\Data\\Herd 12.dat");
    EXPECT_EQ(q.escapedName, L"Herd+12.dat");
    EXPECT_EQ(Sent(q.entries), L"?file=Herd+12.dat&herdcode=12&clientid=7");
    EXPECT_EQ(Sent(BuildUploadQuery(L"7", L"12", L"C:name.txt").entries),
              L"?file=name.txt&herdcode=12&clientid=7");
    EXPECT_EQ(Sent(BuildUploadQuery(L"7", L"12", L"plain").entries), L"?file=plain&herdcode=12&clientid=7");
    // A herd code cannot add a query entry of its own.
    EXPECT_EQ(Sent(BuildUploadQuery(L"7", L"12&clientid=99", L"a.dat").entries),
              L"?file=a.dat&herdcode=12%26clientid%3D99&clientid=7");
    EXPECT_EQ(Sent(HerdClientQuery(L"C 1", L"H\u00E9rd")), L"?herdcode=H%C3%A9rd&clientid=C+1");
}

TEST(SyncRequestTest, CallBodies) {
    std::string data("\0\xFF\r\n<&", 6);
    struct Case {
        Result<std::string> body;
        std::wstring method;
        std::vector<Value> params;
    } cases[] = {
        {HelloCall(L"Anna & Bo"), L"Hello", {Value::String(L"Anna & Bo")}},
        {GetFilesCall(L"12", L"7"), L"GetFiles", {Value::String(L"12"), Value::String(L"7")}},
        {FileToServerCall(L"12", L"7", L"Herd 12.dat", data), L"FileToServer",
         {Value::String(L"12"), Value::String(L"7"), Value::String(L"Herd 12.dat"), Value::Base64(data)}},
        {FileFromServerCall(L"12", L"7", L"/Herd 12.dat"), L"FileFromServer",
         {Value::String(L"12"), Value::String(L"7"), Value::String(L"/Herd 12.dat")}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.body.ok());
        Result<xmlrpc::MethodCall> call = xmlrpc::ReadMethodCall(c.body.value());
        ASSERT_TRUE(call.ok()) << c.body.value();
        EXPECT_EQ(call.value().method, c.method);
        EXPECT_EQ(call.value().params, c.params);
    }
    EXPECT_FALSE(HelloCall(std::wstring(L"bell\x07")).ok());
}

TEST(SyncResultFormatTest, DatesAndLines) {
    os::DateTimeSeparators slash;
    EXPECT_EQ(FormatFileDate({2024, 4, 2, 9, 5, 7}, slash), L"04/02/24 09:05:07");
    EXPECT_EQ(FormatFileDate({2000, 12, 31, 23, 59, 0}, slash), L"12/31/00 23:59:00");
    os::DateTimeSeparators other{L".", L"-"};
    EXPECT_EQ(FormatFileDate({1999, 1, 9, 0, 0, 1}, other), L"01.09.99 00-00-01");
    EXPECT_EQ(FileListLine(L"a.dat", L"D"), L"a.dat" + std::wstring(27, L' ') + L" D");
    std::wstring exact(32, L'x'), longer(40, L'y');
    EXPECT_EQ(FileListLine(exact, L"D"), exact + L" D");
    EXPECT_EQ(FileListLine(longer, L"D"), longer + L" D");
}

// The handlers against the real mailbox and log, in a scratch folder.
class SyncResultTest : public testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = std::filesystem::temp_directory_path() / ("bvsync-" + std::to_string(stamp));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        ResetLogForTesting();
        SetLogClockForTesting([] { return os::LocalTime{2024, 4, 2, 9, 5, 7, 123}; });
        DeepLogging = true;
        Notify.Init(NotifyCode::KeepList);
        Notify.Init(NotifyCode::FileList);
    }
    void TearDown() override {
        DeepLogging = false;
        SetLogClockForTesting(nullptr);
        ResetLogForTesting();
        Notify.Init(NotifyCode::Idle);
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // The texts of the log's lines after the begin line: what follows the
    // stamp's ":  ", and for client lines what follows the thread ids.
    std::vector<std::wstring> Logged() {
        std::vector<std::wstring> out;
        if (LogFileName().empty()) return out;
        std::ifstream in(dir_ / LogFileName(), std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t start = 0;
        for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = all.substr(start, end - start);
            line = line.substr(line.find(":  ") + 3);
            if (line.rfind("   (logg) Client: M", 0) == 0) {
                // Past the two thread ids, each padded to five places.
                size_t j = line.find(" C", 19) + 2;
                while (j < line.size() && line[j] == ' ') ++j;
                while (j < line.size() && line[j] >= '0' && line[j] <= '9') ++j;
                line = line.substr(j + 1);
            }
            out.push_back(os::FromAnsi(line));
        }
        if (!out.empty() && out.front() == L"Logging begun.") out.erase(out.begin());
        return out;
    }

    std::filesystem::path previous_, dir_;
};

Value File(const std::wstring& name, xmlrpc::DateTime date) {
    return Value::Struct({{L"filename", Value::String(name)}, {L"filedate", Value::Date(date)}});
}

TEST_F(SyncResultTest, HelloPostsTheValueAsText) {
    struct Case {
        Value value;
        std::wstring text;
    } cases[] = {
        {Value::String(L"Hello, Anna"), L"Hello, Anna"},
        {Value::I8(5000000000LL), L"5000000000"},
        {Value::Struct({{L"a", Value::Boolean(true)}}), L"{a: true}"},
        {xmlrpc::AnswerValue("<html/>"), L"fault 0: not an XML-RPC answer: expected <methodResponse>"},
    };
    for (const Case& c : cases) {
        Notify.Init(NotifyCode::Hello);
        ResetLogForTesting();
        helloResult(c.value);
        TNotify::Fields f = Notify.Read();
        EXPECT_TRUE(f.nfReady);
        EXPECT_EQ(f.nfReturnList, std::vector<std::wstring>{c.text});
        EXPECT_EQ(Logged(), std::vector<std::wstring>{L"Server returned : " + c.text});
    }
}

TEST_F(SyncResultTest, FileListOfNoElementsLogsOnlyTheCount) {
    GetFilesResult(Value::Array({}));
    TNotify::Fields f = Notify.Read();
    EXPECT_TRUE(f.nfReady);
    EXPECT_TRUE(f.nfReturnList.empty());
    EXPECT_EQ(Logged(), std::vector<std::wstring>{L"GetFilesReturned count files 0"});
}

TEST_F(SyncResultTest, FileListLinesPassOverElementsThatAreNoRecords) {
    std::wstring longName = L"a name longer than thirty-two characters.dat";
    GetFilesResult(Value::Array({
        File(L"Herd 12.dat", {2024, 4, 2, 9, 5, 7}),
        Value::String(L"not a record"),
        File(longName, {2023, 12, 31, 23, 59, 59}),
        Value::Array({File(L"nested.dat", {2024, 1, 1, 0, 0, 0})}),
        Value::Struct({{L"filename", Value::String(L"no date")}}),
    }));
    std::vector<std::wstring> lines = {
        L"Herd 12.dat                      04/02/24 09:05:07",
        longName + L" 12/31/23 23:59:59",
        L"no date                          ",
    };
    TNotify::Fields f = Notify.Read();
    EXPECT_TRUE(f.nfReady);
    EXPECT_EQ(f.nfReturnList, lines);
    std::vector<std::wstring> logged = {L"GetFilesReturned count files 5"};
    logged.insert(logged.end(), lines.begin(), lines.end());
    EXPECT_EQ(Logged(), logged);
}

TEST_F(SyncResultTest, FileListThatIsNoArrayPostsTheError) {
    for (const Value& v : {Value::Struct({}), Value::String(L"x"), Value(),
                           xmlrpc::AnswerValue(xmlrpc::WriteFault(1, L"no such herd"))}) {
        Notify.Init(NotifyCode::FileList);
        ResetLogForTesting();
        GetFilesResult(v);
        TNotify::Fields f = Notify.Read();
        EXPECT_TRUE(f.nfReady);
        EXPECT_EQ(f.nfReturnList, std::vector<std::wstring>{L"Error geting filelist from server"});
        EXPECT_EQ(Logged(), std::vector<std::wstring>{
                                L"GetFilesResultReturn() got Error geting filelist from server"});
    }
}

TEST_F(SyncResultTest, FileToServerRows) {
    struct Case {
        Value value;
        std::vector<std::wstring> lines;
        std::vector<std::wstring> logged;
    } cases[] = {
        {Value::Struct({{L"success", Value::Boolean(true)}, {L"filesize", Value::I8(5000000000LL)}}),
         {L"File received at server 5000000000 bytes"},
         {L"File received at server 5000000000 bytes"}},
        {Value::Struct({{L"success", Value::Boolean(true)}, {L"filesize", Value::Int(0)}}),
         {L"File received at server 0 bytes"},
         {L"File received at server 0 bytes"}},
        {Value::Struct({{L"success", Value::Boolean(false)}, {L"filesize", Value::I8(0)}}),
         {L"File NOT received OK at server"},
         {L"File NOT received OK at server.  {success: false, filesize: 0} bytes"}},
        {Value::Struct({{L"filesize", Value::I8(3)}}),
         {L"File NOT received OK at server"},
         {L"File NOT received OK at server.  {filesize: 3} bytes"}},
        {Value::Array({}), {}, {}},
        {xmlrpc::AnswerValue("garbage"), {}, {}},
    };
    for (const Case& c : cases) {
        Notify.Init(NotifyCode::FileSent);
        ResetLogForTesting();
        FileToServerResult(c.value);
        TNotify::Fields f = Notify.Read();
        EXPECT_TRUE(f.nfReady);
        EXPECT_EQ(f.nfReturnList, c.lines);
        EXPECT_EQ(Logged(), c.logged);
    }
}

TEST_F(SyncResultTest, FileFromServerResultDoesNothing) {
    Notify.Init(NotifyCode::Download);
    Notify.AddLine(L"Saved to x");
    FileFromServerResult(Value::Base64("data"));
    TNotify::Fields f = Notify.Read();
    EXPECT_FALSE(f.nfReady);
    EXPECT_EQ(f.nfReturnList, std::vector<std::wstring>{L"Saved to x"});
    EXPECT_TRUE(Logged().empty());
}

}  // namespace
}  // namespace bv
