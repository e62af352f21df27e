// How an answer's body is delimited, read strictly from its headers.
#include <cwctype>

#include "platform/http_transport.h"

namespace bv::http {

namespace {

bool SameName(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return i == a.size() && !b[i];
}

std::wstring Trimmed(const std::wstring& v) {
    size_t first = v.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return {};
    size_t last = v.find_last_not_of(L" \t");
    return v.substr(first, last - first + 1);
}

}  // namespace

Result<Framing> ReadFraming(const std::vector<std::pair<std::wstring, std::wstring>>& headers) {
    Framing framing;
    bool coded = false;
    for (const auto& [name, raw] : headers) {
        if (SameName(name, L"Transfer-Encoding")) {
            coded = true;
            continue;
        }
        if (!SameName(name, L"Content-Length")) continue;
        std::wstring value = Trimmed(raw);
        // Plain decimal digits, small enough for 63 bits (18 digits are).
        if (value.empty() || value.size() > 18) return Error{kBroken, 0, L"Content-Length is not a length: " + raw};
        int64_t n = 0;
        for (wchar_t c : value) {
            if (c < L'0' || c > L'9') return Error{kBroken, 0, L"Content-Length is not a length: " + raw};
            n = n * 10 + (c - L'0');
        }
        if (framing.contentLength >= 0 && framing.contentLength != n)
            return Error{kBroken, 0, L"two different Content-Length values"};
        framing.contentLength = n;
    }
    if (coded && framing.contentLength >= 0)
        return Error{kBroken, 0, L"Content-Length beside Transfer-Encoding"};
    framing.chunked = coded;
    return framing;
}

}  // namespace bv::http
