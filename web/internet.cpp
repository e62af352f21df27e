// The internet check and the download-address lookup.
#include "web/internet.h"

#include <string>

#include "platform/net.h"
#include "platform/os.h"
#include "util/log.h"
#include "util/host_port.h"
#include "util/strings.h"
#include "web/http_get.h"
#include "web/vendor.h"

namespace bv {

bool SkipInternetCheck = false;

namespace {

// Control characters (line breaks of an HTML page) shown as blanks, so a
// logged excerpt stays on one line.
std::wstring Printable(std::wstring text) {
    for (wchar_t& c : text)
        if (c < L' ') c = L' ';
    return text;
}

}  // namespace

bool CheckForInternet(const std::wstring& host, uint32_t timeoutMs) {
    if (SkipInternetCheck) {
        WriteLog(L"Skipping CheckForInternet at " + host);
        return true;
    }
    WriteLog(L"CheckForInternet at " + host);
    std::optional<HostPort> server = ParseHostPort(host);
    bool ok = server && net::TcpConnectCheck(server->host, server->port, timeoutMs).ok();
    WriteLog(L"CheckForInternet returned " + BoolToWord(ok, 3) + L" from " + host);
    return ok;
}

std::wstring GetServerBaseURL() {
    std::wstring url = LowerAscii(L"http://" + VendorAuthority() + L"/values/bvstartup.url");
    net::HttpGetRequest request;
    request.url = url;
    request.userAgent = kUserAgent;
    request.headers = {kAcceptHeader, L"Pragma: no-cache"};
    request.connectTimeoutMs = 3000;
    request.readTimeoutMs = 3000;
    std::string body;
    // The value file holds one address: a larger body is no value file.
    constexpr size_t kMaxValueFile = 4096;
    Result<net::HttpGetAnswer> answer = net::HttpGet(request, [&](std::string_view block) {
        if (body.size() + block.size() > kMaxValueFile) return false;
        body.append(block);
        return true;
    });
    if (!answer && answer.error().code == net::kNetNotStored)
        WriteLog(L"GetServerBaseURL: the value file is larger than " + std::to_wstring(kMaxValueFile) + L" bytes");
    std::wstring result;
    if (answer) {
        // A value file saved with a final line break (or stray blanks) must
        // not put them into every download URL.
        result = Trim(os::FromAnsi(body));
        // Only a plain HTTP address is a download base address: an empty
        // body, a captive portal's or soft 404's page, or another scheme is
        // a failed lookup like an error status.
        if (LowerAscii(result.substr(0, 7)) != L"http://") {
            WriteLog(L"GetServerBaseURL: the value file holds no address (" +
                     std::to_wstring(body.size()) + L" bytes): " + Printable(os::FromAnsi(body.substr(0, 40))));
            result.clear();
        }
    }
    if (result.empty())
        result = L"http://" + VendorAuthority() + L"/bvfiles/bvstartup/";
    else
        result = AddTrailingSlash(result);
    WriteLog(L"Ostrel URL is " + result);
    return result;
}

}  // namespace bv
