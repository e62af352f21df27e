// The transfer client module: created right after the wizard window, it sets
// up the notification mailbox and owns the one HTTP connection with its
// request components; destroyed last, it shuts the connection down (abort,
// join the worker) and only then frees the mailbox's list.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/http_transport.h"
#include "platform/ui_handover.h"
#include "transfer/http_client.h"
#include "util/error.h"

namespace bv {

class TdmClient {
public:
    struct Setup {
        std::unique_ptr<http::Transport> transport;  // null: every connection attempt fails
        UiHandover* handover = nullptr;  // null: events run on the worker thread
        std::chrono::milliseconds inactivity = std::chrono::seconds(90);  // tests shorten it
    };

    // The program's module: the system's internet API, and events handed to
    // the creating thread through a message-only window (Windows).
    TdmClient();
    explicit TdmClient(Setup setup);
    ~TdmClient();
    TdmClient(const TdmClient&) = delete;
    TdmClient& operator=(const TdmClient&) = delete;

    void DataModuleCreate();
    void DataModuleDestroy();

    // Fetches HostFileName from the server URL ("host", or "host:port" for
    // another port than 80) into DestFileName in the background; the
    // outcome arrives through the mailbox (Download, set by the caller).
    // The blocks go into DestFileName + ".part", which replaces DestFileName
    // only when the answer is complete.
    void FileFromURL(const std::wstring& URL, const std::wstring& HostFileName, const std::wstring& DestFileName);

    // Sync-server operations, at the connection's current server
    // ("localhost" port 6060 until FileFromURL sets the web server). Each
    // returns at once; the outcome arrives through the mailbox, which the
    // caller resets first (NotifyCode Hello, FileList, FileSent, Download).

    // Sends the local file FileName with a PUT to "/UPLOAD"; ends with
    // "Done, Status = <code> <reason>" (FileSent). A file that cannot be
    // opened, or of 4 GiB or more, when posted or when its turn comes, is not
    // sent: "Not sent: " + FileName.
    void UploadFile(const std::wstring& ClientID, const std::wstring& HerdCode, const std::wstring& FileName);
    // Fetches the server path FileName ("/NAME") for the herd and client
    // into IncomingFolder + FileName, as FileFromURL does (Download).
    void FileFromServer(const std::wstring& ClientID, const std::wstring& HerdCode, const std::wstring& FileName);

    // Remote calls on "/BVSYNC"; their results go to helloResult,
    // GetFilesResult, FileToServerResult and FileFromServerResult on the
    // user-interface thread. A call whose connection fails before its answer
    // is complete is sent again up to 2 more times. False (nothing posted)
    // for text that XML cannot carry.
    bool RemoteHello(const std::wstring& name);
    bool RemoteGetFiles(const std::wstring& herdCode, const std::wstring& clientId);
    bool RemoteFileToServer(const std::wstring& herdCode, const std::wstring& clientId,
                            const std::wstring& fileName, const std::string& data);
    bool RemoteFileFromServer(const std::wstring& herdCode, const std::wstring& clientId,
                              const std::wstring& fileName);

    // The connection's events.
    void httpClientConnect();
    void httpClientConnectError();
    void httpClientConnectFail();
    void httpClientResponseAbort(const httpRequest& request);

    // A folder prefix for every destination; empty.
    std::wstring IncomingFolder;

    httpClient& connection() { return *httpClient_; }

private:
    class Download;
    class Upload;
    class RemoteModule;
    bool PostCall(const wchar_t* handler, Result<std::string> body);
    std::unique_ptr<UiHandover> ownHandover_;
    std::unique_ptr<Download> drFileFromServer_;
    std::unique_ptr<Upload> drFileToServer_;
    std::unique_ptr<RemoteModule> SyncClientModule_;
    std::unique_ptr<httpClient> httpClient_;
};

// The program's one module; null before start-up creates it.
extern TdmClient* dmClient;

// n * 100 / total, to the nearest integer, a half to the even neighbour; 0
// when total is not above 0.
int32_t PercentHalfEven(int64_t n, int64_t total);

}  // namespace bv
