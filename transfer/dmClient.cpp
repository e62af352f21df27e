// The transfer client module: its creation and destruction, the connection's
// events, and the background file download streamed to disk block by block.
#include "transfer/dmClient.h"

#include <algorithm>
#include <cwctype>

#include "platform/fs.h"
#include "platform/os.h"
#include "util/log.h"
#include "transfer/notify.h"
#include "transfer/sync_requests.h"
#include "transfer/sync_results.h"
#include "transfer/xmlrpc.h"
#include "util/host_port.h"

namespace bv {

TdmClient* dmClient = nullptr;

int32_t PercentHalfEven(int64_t n, int64_t total) {
    if (total <= 0) return 0;
    int64_t scaled = n * 100;
    int64_t q = scaled / total, r = scaled % total;
    if (2 * r > total || (2 * r == total && q % 2 != 0)) ++q;
    return static_cast<int32_t>(q);
}

// What is appended to a destination's name for the file that holds its
// blocks until the answer is complete.
constexpr wchar_t kPartialSuffix[] = L".part";

// Removes a download's partial file, if it has one.
static void RemovePartial(httpRequest& request) {
    if (!request.partial.empty() && fs::FileExists(request.partial)) (void)fs::RemoveFile(request.partial);
    request.partial.clear();
}

// True when the last part of a path names a device rather than a file
// ("NUL.txt", "com1", "CON .log"): Windows opens the device for any
// extension, so writing there would seem to work and keep nothing.
static bool IsDeviceName(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/:");
    std::wstring base = path.substr(cut == std::wstring::npos ? 0 : cut + 1);
    base = base.substr(0, base.find(L'.'));
    while (!base.empty() && (base.back() == L' ')) base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* name : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (base == name) return true;
    return base.size() == 4 && (base.rfind(L"COM", 0) == 0 || base.rfind(L"LPT", 0) == 0) && base[3] >= L'0' &&
           base[3] <= L'9';
}

// The download request component: GET of the request's path, the answer
// written into the file named by its "filename" entry.
class TdmClient::Download : public RequestOwner {
public:
    explicit Download(TdmClient& module) : module_(module) {}
    int AutoRepost() const override { return 0; }
    bool AutoSyncEvents() const override { return true; }

    void BeginRequest(RequestEvent& e) override {
        e.head.method = L"GET";
        e.head.contentLength = 0;
    }

    void DataReceived(RequestEvent& e) override {
        httpRequest& request = e.request;
        const http::ResponseHead& answer = e.response;
        const bool ok = answer.status == 200;
        const std::wstring filename = request.Info(L"filename");
        const std::wstring dest = module_.IncomingFolder + filename;

        std::wstring summary = L"Status: " + std::to_wstring(answer.status) + L" " + answer.reason + L"\r\n";
        for (const http::Header& h : answer.headers) summary += h.first + L": " + h.second + L"\r\n";

        if (e.first) {
            WriteLog(L"drFileFromServerDataReceived, " + summary);
            if (ok) {
                // The blocks go into a partial file beside the destination,
                // which replaces the destination only once the answer is
                // complete: a cut or an abort leaves the old file as it was.
                if (!filename.empty()) {
                    if (IsDeviceName(dest))
                        request.failure = L"the name is a device's, not a file's";
                    else
                        request.partial = dest + kPartialSuffix;
                }
            } else {
                Notify.AddLine(L"Failed");
                WriteLog(L"drFileFromServerDataReceived, failed.");
                request.SetInfo(L"code", std::to_wstring(answer.status));
            }
        }

        if (ok)
            Notify.SetStatusText(std::to_wstring(e.bytesReceived) + L" bytes");
        else
            request.SetInfo(L"error", os::FromAnsi(e.block));

        // Each block goes to its offset in the partial file, opened and
        // closed for it (the first block starts it afresh). Once a block
        // could not be written the file is not whole: the rest is not
        // written and the download ends as not saved.
        if (ok && !filename.empty() && request.failure.empty()) {
            uint64_t offset = static_cast<uint64_t>(e.bytesReceived) - e.block.size();
            fs::File file;
            Result<void> written = file.Open(request.partial, e.first ? fs::FileMode::Create : fs::FileMode::ReadWrite);
            if (written) written = file.Seek(offset);
            if (written && !e.block.empty()) written = file.Write(e.block.data(), e.block.size());
            Result<void> closed = file.Close();
            if (written && !closed) written = closed;
            if (!written)
                request.failure = L"the block at offset " + std::to_wstring(offset) +
                                  L" could not be written: " + os::SystemErrorText(written.error().native);
        }

        if (e.complete) {
            if (ok && !filename.empty()) {
                if (request.failure.empty()) {
                    Result<void> placed = fs::RenameOver(request.partial, dest);
                    if (!placed)
                        request.failure = L"the old file could not be replaced: " +
                                          os::SystemErrorText(placed.error().native);
                }
                if (!request.failure.empty()) RemovePartial(request);
                request.partial.clear();
                if (request.failure.empty()) {
                    std::wstring line = L"Saved to " + filename;
                    Notify.AddLine(line);
                    WriteLog(L"drFileFromServerDataReceived, done, " + line);
                } else {
                    Notify.AddLine(L"Not saved: " + filename);
                    WriteLog(L"drFileFromServerDataReceived, not saved, " + filename + L": " + request.failure);
                }
            }
            Notify.SetReady(true);
        } else {
            int64_t length = answer.contentLength < 0 ? 0 : answer.contentLength;
            WriteLog(L"drFileFromServerDataReceived, not done, contentlength = " + std::to_wstring(length));
            Notify.SetProgress(PercentHalfEven(e.bytesReceived, length));
        }
    }

private:
    TdmClient& module_;
};

// The size of a file, or -1 when it cannot be opened for reading.
static int64_t SizeOfFile(const std::wstring& path) {
    fs::File file;
    if (!file.Open(path, fs::FileMode::Read)) return -1;
    Result<uint64_t> size = file.Size();
    return size ? static_cast<int64_t>(size.value()) : -1;
}

// The upload request component: PUT of the file named by the "file" entry to
// "/UPLOAD", its events on the worker thread, the body read from the file
// one block at a time.
class TdmClient::Upload : public RequestOwner {
public:
    explicit Upload(TdmClient& module) : module_(module) {}
    int AutoRepost() const override { return 0; }
    bool AutoSyncEvents() const override { return false; }

    void BeginRequest(RequestEvent& e) override {
        const std::wstring server = module_.httpClient_->ServerAddr();
        WriteLog(L"drFileToServerBeginRequest beginning PUT for " + server);
        const std::wstring file = e.request.Info(L"file");
        // UploadFile checked the file when it was posted; one that has gone
        // or been locked since (behind a long download, say) is not sent at
        // all: an empty body would replace the server's copy.
        int64_t size = SizeOfFile(file);
        if (size < 0 || size > http::kMaxRequestBody) {
            WriteLog(L"drFileToServerBeginRequest, not sent, " + file +
                     (size < 0 ? L": the file cannot be opened" : L": the file is too large"));
            Notify.Post({L"Not sent: " + file});
            e.Finish();
            return;
        }
        e.head.method = L"PUT";
        e.head.headers = {{L"Host", server}};
        e.head.contentLength = size;
        WriteLog(L"drFileToServerBeginRequest RequestInfo = " + file);
        WriteLog(L"drFileToServerBeginRequest complete.");
    }

    void DataSent(RequestEvent& e) override {
        if (e.bytesSent >= e.head.contentLength) return;
        // Opened, read and closed for each block: never more than one block
        // of the file in memory.
        size_t want = static_cast<size_t>(
            std::min<int64_t>(e.head.contentLength - e.bytesSent, static_cast<int64_t>(RequestEvent::kMaxBodyBlock)));
        std::string block(want, '\0');
        fs::File file;
        int64_t got = -1;
        if (file.Open(e.request.Info(L"file"), fs::FileMode::Read) && file.Seek(static_cast<uint64_t>(e.bytesSent))) {
            Result<size_t> read = file.ReadFull(block.data(), want);
            if (read) got = static_cast<int64_t>(read.value());
        }
        (void)file.Close();
        if (got != static_cast<int64_t>(want)) {
            // The file shrank or became unreadable: the body stops short of
            // its announced length; the server's answer or the inactivity
            // timer ends the request.
            WriteLog(L"drFileToServerDataSent, the file could not be read at offset " + std::to_wstring(e.bytesSent));
            e.request.failure = L"the file could not be read";
            return;
        }
        e.Write(block.data(), block.size());
    }

    void DataReceived(RequestEvent& e) override {
        WriteLog(L"drFileToServerDataReceived, Beginning wait for server.");
        if (!e.complete) return;
        std::wstring line = L"Done, Status = " + std::to_wstring(e.response.status) + L" " + e.response.reason;
        Notify.AddLine(line);
        WriteLog(L"drFileToServerDataReceived, Status = " + line);
        Notify.SetReady(true);
    }

private:
    TdmClient& module_;
};

// The remote-call component on "/BVSYNC": a POST of the call's document, the
// answer collected and handed, read, to the result handler named by the
// request's "handler" entry on the user-interface thread.
class TdmClient::RemoteModule : public RequestOwner {
public:
    // An answer larger than this is not kept; its handler gets a fault.
    static constexpr size_t kMaxAnswer = 64u << 20;

    int AutoRepost() const override { return 2; }
    bool AutoSyncEvents() const override { return true; }

    void BeginRequest(RequestEvent& e) override {
        e.request.answer.clear();  // a call sent again starts afresh
        e.request.failure.clear();
        e.head.method = L"POST";
        e.head.headers = {{L"Content-Type", L"text/xml"}};
        e.head.contentLength = static_cast<int64_t>(e.request.body.size());
    }

    void DataSent(RequestEvent& e) override {
        size_t at = static_cast<size_t>(e.bytesSent);
        if (at >= e.request.body.size()) return;
        e.Write(e.request.body.data() + at, std::min(e.request.body.size() - at, RequestEvent::kMaxBodyBlock));
    }

    void DataReceived(RequestEvent& e) override {
        httpRequest& request = e.request;
        xmlrpc::Value value;
        if (request.answer.size() + e.block.size() > kMaxAnswer) {
            // Nothing more of it is read: the connection is closed under the
            // rest, and the handler gets a fault at once.
            value = xmlrpc::Value::Fault(0, L"answer larger than " + std::to_wstring(kMaxAnswer) + L" bytes");
            e.Finish();
        } else {
            request.answer.append(e.block.data(), e.block.size());
            if (!e.complete) return;
            value = xmlrpc::AnswerValue(request.answer);
            if (e.response.status != 200 && !value.is(xmlrpc::Type::Fault))
                value = xmlrpc::Value::Fault(0, L"status " + std::to_wstring(e.response.status));
        }
        request.answer = {};
        const std::wstring handler = request.Info(L"handler");
        if (handler == L"hello") {
            helloResult(value);
        } else if (handler == L"getfiles") {
            GetFilesResult(value);
        } else if (handler == L"filetoserver") {
            FileToServerResult(value);
        } else {
            FileFromServerResult(value);
        }
    }
};

TdmClient::TdmClient() : TdmClient([] {
    Setup setup;
#ifdef _WIN32
    setup.transport = http::MakeSystemTransport();
#endif
    return setup;
}()) {}

TdmClient::TdmClient(Setup setup) {
    DataModuleCreate();
#ifdef _WIN32
    if (!setup.handover) {
        ownHandover_ = MakeWindowHandover();
        setup.handover = ownHandover_.get();
    }
#endif
    drFileFromServer_ = std::make_unique<Download>(*this);
    drFileToServer_ = std::make_unique<Upload>(*this);
    SyncClientModule_ = std::make_unique<RemoteModule>();
    ConnectionEvents events;
    events.Connect = [this] { httpClientConnect(); };
    events.ConnectError = [this] { httpClientConnectError(); };
    events.ConnectFail = [this] { httpClientConnectFail(); };
    events.ResponseAbort = [this](const httpRequest& r) { httpClientResponseAbort(r); };
    httpClient_ = std::make_unique<httpClient>(std::move(setup.transport), setup.handover, std::move(events),
                                               setup.inactivity);
}

TdmClient::~TdmClient() {
    // Abort, join the worker; only then is the mailbox's list freed.
    httpClient_->Shutdown();
    DataModuleDestroy();
}

void TdmClient::DataModuleCreate() {
    WriteLog(L"Created Datamodule.");
    Notify.Init(NotifyCode::KeepList);
}

void TdmClient::DataModuleDestroy() { Notify.DestroyList(); }

void TdmClient::FileFromURL(const std::wstring& URL, const std::wstring& HostFileName,
                            const std::wstring& DestFileName) {
    // "host:port" names another port than 80 (test rigs, mirrors). A text
    // that is no host:port goes whole to the name lookup, which refuses it,
    // rather than to another server's port 80.
    std::optional<HostPort> server = ParseHostPort(URL);
    std::wstring host = server ? server->host : URL;
    std::wstring port = server ? std::to_wstring(server->port) : std::wstring(L"80");
    httpClient_->SetServer(host, port);
    httpRequest request;
    request.path = HostFileName;
    request.SetInfo(L"filename", DestFileName);
    WriteLog(L"FileFromURL, about to post");
    httpClient_->Post(*drFileFromServer_, std::move(request));
    WriteLog(L"FileFromURL, posted.");
}

void TdmClient::UploadFile(const std::wstring& ClientID, const std::wstring& HerdCode,
                           const std::wstring& FileName) {
    UploadQuery q = BuildUploadQuery(ClientID, HerdCode, FileName);
    // A file that cannot be opened has no length to announce, and one of
    // 4 GiB or more a length the connection cannot announce: nothing goes
    // out, the connection is not touched.
    int64_t size = SizeOfFile(FileName);
    if (size < 0 || size > http::kMaxRequestBody) {
        WriteLog(L"UploadFile, " + std::wstring(size < 0 ? L"cannot open " : L"too large to send: ") + FileName);
        Notify.Post({L"Not sent: " + FileName});
        return;
    }
    httpRequest request;
    request.path = kUploadPath;
    request.query = std::move(q.entries);
    request.SetInfo(L"file", FileName);
    WriteLog(L"UploadFile, about to post " + q.escapedName + L", " + HerdCode + L", " + ClientID + L" ");
    httpClient_->Post(*drFileToServer_, std::move(request));
    WriteLog(L"UploadFile, posted.");
}

void TdmClient::FileFromServer(const std::wstring& ClientID, const std::wstring& HerdCode,
                               const std::wstring& FileName) {
    httpRequest request;
    request.path = FileName;
    request.query = HerdClientQuery(ClientID, HerdCode);
    request.SetInfo(L"filename", FileName);
    WriteLog(L"FileFromServer, about to post " + FileName + L", " + HerdCode + L", " + ClientID + L" ");
    httpClient_->Post(*drFileFromServer_, std::move(request));
    WriteLog(L"FileFromServer, posted.");
}

bool TdmClient::PostCall(const wchar_t* handler, Result<std::string> body) {
    if (!body) {
        WriteLog(std::wstring(L"Remote call not sent, ") + handler + L": " + body.error().detail);
        return false;
    }
    httpRequest request;
    request.path = kSyncModulePath;
    request.SetInfo(L"handler", handler);
    request.body = std::move(body.value());
    httpClient_->Post(*SyncClientModule_, std::move(request));
    return true;
}

bool TdmClient::RemoteHello(const std::wstring& name) { return PostCall(L"hello", HelloCall(name)); }

bool TdmClient::RemoteGetFiles(const std::wstring& herdCode, const std::wstring& clientId) {
    return PostCall(L"getfiles", GetFilesCall(herdCode, clientId));
}

bool TdmClient::RemoteFileToServer(const std::wstring& herdCode, const std::wstring& clientId,
                                   const std::wstring& fileName, const std::string& data) {
    return PostCall(L"filetoserver", FileToServerCall(herdCode, clientId, fileName, data));
}

bool TdmClient::RemoteFileFromServer(const std::wstring& herdCode, const std::wstring& clientId,
                                     const std::wstring& fileName) {
    return PostCall(L"filefromserver", FileFromServerCall(herdCode, clientId, fileName));
}

void TdmClient::httpClientConnect() { ClientLog(L"Connecting..."); }
void TdmClient::httpClientConnectError() { ClientLog(L"ConnectError"); }
void TdmClient::httpClientConnectFail() { ClientLog(L"ConnectFail"); }

void TdmClient::httpClientResponseAbort(const httpRequest& request) {
    // A download cut off leaves its destination as it was.
    if (!request.partial.empty() && fs::FileExists(request.partial)) (void)fs::RemoveFile(request.partial);
    ClientLog(L"Connection failed");
    Notify.Post({L"ResponseAbort"});
}

}  // namespace bv
