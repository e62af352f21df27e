// Fetching and keeping the vendor's signed list.
#include "web/vendor_files.h"

#include "platform/net.h"
#include "util/log.h"

namespace bv {
namespace {

// The list names every file of the folder in one line each: a few KB. A
// larger answer is not the vendor's list (a captive portal's page, a
// server that streams without end), and a signature is some 72 bytes.
constexpr size_t kMaxListBytes = 1 << 20;
constexpr size_t kMaxSignatureBytes = 1024;

// One small file into memory, with the request settings of the downloads
// and their one retry. Nothing when it cannot be had; `why` then says why.
std::optional<std::string> Fetch(const std::wstring& url, size_t limit, std::wstring& why) {
    for (uint32_t timeoutMs : {3000u, 6000u}) {
        net::HttpGetRequest request;
        request.url = url;
        request.userAgent = kUserAgent;
        request.headers = {kAcceptHeader, L"Pragma: no-cache"};
        request.connectTimeoutMs = timeoutMs;
        request.readTimeoutMs = timeoutMs;
        std::string body;
        Result<net::HttpGetAnswer> answer = net::HttpGet(request, [&](std::string_view block) {
            if (body.size() + block.size() > limit) return false;
            body.append(block);
            return true;
        });
        if (answer) return body;
        why = answer.error().code == net::kNetNotStored ? L"larger than " + std::to_wstring(limit) + L" bytes"
                                                         : answer.error().detail;
        // A server that answered with a status has no such file: asking
        // again changes nothing.
        if (answer.error().code == net::kNetStatus || answer.error().code == net::kNetNotStored) break;
    }
    return std::nullopt;
}

}  // namespace

VendorFiles::VendorFiles(std::optional<crypto::EcP256Point> key) : key_(key) {}

const SignedList& VendorFiles::ListFor(const std::wstring& folder) {
    auto at = lists_.find(folder);
    if (at != lists_.end()) return at->second;
    std::wstring listUrl = folder + kSignedListName, signatureUrl = folder + kListSignatureName;
    std::wstring why;
    std::optional<std::string> list = Fetch(listUrl, kMaxListBytes, why);
    if (!list) WriteLog(L"VendorFiles: " + listUrl + L" not fetched: " + why);
    std::optional<std::string> signature;
    if (list) {
        signature = Fetch(signatureUrl, kMaxSignatureBytes, why);
        if (!signature) WriteLog(L"VendorFiles: " + signatureUrl + L" not fetched: " + why);
    }
    SignedList verified = SignedList::Verify(key_, list, signature);
    if (verified.State())
        WriteLog(L"VendorFiles: the signature of " + listUrl + L" verifies; it lists " +
                 std::to_wstring(verified.size()) + L" files");
    else
        WriteLog(L"VendorFiles: no file of " + folder + L" is trusted: " + verified.State().error().detail);
    return lists_.emplace(folder, std::move(verified)).first->second;
}

DigestCheck VendorFiles::CheckFor(const std::wstring& url) {
    if (!key_) {
        if (!toldUnverified_) WriteLog(L"VendorFiles: downloads are not verified: the program has no vendor key");
        toldUnverified_ = true;
        return {};
    }
    size_t slash = url.find_last_of(L'/');
    std::wstring folder = slash == std::wstring::npos ? std::wstring() : url.substr(0, slash + 1);
    std::wstring name = url.substr(folder.size());
    const SignedList& list = ListFor(folder);
    return [&list, name](const crypto::Sha256Digest& digest) { return list.Check(name, digest); };
}

}  // namespace bv
