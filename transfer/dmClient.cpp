// The transfer client module: its creation and destruction, the connection's
// events, and the background file download streamed to disk block by block.
#include "transfer/dmClient.h"

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "transfer/log.h"
#include "transfer/notify.h"

namespace bv {

TdmClient* dmClient = nullptr;

int32_t PercentHalfEven(int64_t n, int64_t total) {
    if (total <= 0) return 0;
    int64_t scaled = n * 100;
    int64_t q = scaled / total, r = scaled % total;
    if (2 * r > total || (2 * r == total && q % 2 != 0)) ++q;
    return static_cast<int32_t>(q);
}

// The download request component: GET of the request's path, the answer
// written into the file named by its "filename" entry.
class TdmClient::FileFromServer : public RequestOwner {
public:
    explicit FileFromServer(TdmClient& module) : module_(module) {}
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
                if (!filename.empty() && fs::FileExists(dest) && !fs::RemoveFile(dest))
                    request.failure = L"the old file could not be deleted: " + os::SystemErrorText(fs::LastSystemError());
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

        // Each block goes to its offset in a file opened and closed for it.
        // Once a block could not be written the file is not whole: the rest
        // is not written and the download ends as not saved.
        if (ok && !filename.empty() && request.failure.empty()) {
            uint64_t offset = static_cast<uint64_t>(e.bytesReceived) - e.block.size();
            fs::File file;
            bool written = file.Open(dest, fs::FileExists(dest) ? fs::FileMode::ReadWrite : fs::FileMode::Create) &&
                           file.Seek(offset) && (e.block.empty() || file.Write(e.block.data(), e.block.size()));
            uint32_t error = file.LastError();
            if (!file.Close() && written) written = false, error = file.LastError();
            if (!written)
                request.failure = L"the block at offset " + std::to_wstring(offset) +
                                  L" could not be written: " + os::SystemErrorText(error);
        }

        if (e.complete) {
            if (ok && !filename.empty()) {
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
    drFileFromServer_ = std::make_unique<FileFromServer>(*this);
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
    Notify.Init(-1);
}

void TdmClient::DataModuleDestroy() { Notify.DestroyList(); }

void TdmClient::FileFromURL(const std::wstring& URL, const std::wstring& HostFileName,
                            const std::wstring& DestFileName) {
    // "host:port" names another port than 80 (test rigs, mirrors).
    std::wstring host = URL, port = L"80";
    size_t colon = URL.rfind(L':');
    if (colon != std::wstring::npos && URL.find(L':') == colon) {
        host = URL.substr(0, colon);
        port = URL.substr(colon + 1);
    }
    httpClient_->SetServer(host, port);
    httpRequest request;
    request.path = HostFileName;
    request.SetInfo(L"filename", DestFileName);
    WriteLog(L"FileFromURL, about to post");
    httpClient_->Post(*drFileFromServer_, std::move(request));
    WriteLog(L"FileFromURL, posted.");
}

void TdmClient::httpClientConnect() { ClientLog(L"Connecting..."); }
void TdmClient::httpClientConnectError() { ClientLog(L"ConnectError"); }
void TdmClient::httpClientConnectFail() { ClientLog(L"ConnectFail"); }

void TdmClient::httpClientResponseAbort(const httpRequest&) {
    ClientLog(L"Connection failed");
    Notify.Post({L"ResponseAbort"});
}

}  // namespace bv
