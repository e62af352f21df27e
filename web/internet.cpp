// The internet check and the download-address lookup.
#include "web/internet.h"

#include <string>

#include "platform/net.h"
#include "platform/os.h"
#include "transfer/log.h"
#include "util/strings.h"
#include "web/http_get.h"
#include "web/vendor.h"

namespace bv {

bool SkipInternetCheck = false;

bool CheckForInternet(const std::wstring& host, uint32_t timeoutMs) {
    if (SkipInternetCheck) {
        WriteLog(L"Skipping CheckForInternet at " + host);
        return true;
    }
    WriteLog(L"CheckForInternet at " + host);
    std::wstring name = host;
    uint16_t port = 80;
    size_t colon = host.rfind(L':');
    bool ok = true;
    if (colon != std::wstring::npos) {
        name = host.substr(0, colon);
        std::wstring digits = host.substr(colon + 1);
        unsigned long value = 0;
        ok = !digits.empty() && digits.size() <= 5 &&
             digits.find_first_not_of(L"0123456789") == std::wstring::npos &&
             (value = std::stoul(digits)) > 0 && value <= 65535;
        port = static_cast<uint16_t>(value);
    }
    ok = ok && !name.empty() && net::TcpConnectCheck(name, port, timeoutMs);
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
    net::HttpGetResult answer = net::HttpGet(request, [&](std::string_view block) {
        body.append(block);
        return true;
    });
    std::wstring result;
    if (answer.ok) {
        // A value file saved with a final line break (or stray blanks) must
        // not put them into every download URL.
        result = AddTrailingSlash(Trim(os::FromAnsi(body)));
    } else {
        result = L"http://" + VendorAuthority() + L"/bvfiles/bvstartup/";
    }
    WriteLog(L"Ostrel URL is " + result);
    return result;
}

}  // namespace bv
