// The host:port reader.
#include "util/host_port.h"

namespace bv {

std::optional<uint16_t> ParsePort(std::wstring_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - L'0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

namespace {

// A host name as the name lookup takes it: labels of 1 to 63 letters,
// digits, hyphens and underscores, none beginning or ending with a hyphen,
// separated by single dots; one final dot (a fully qualified name) is
// allowed. An IPv4 address passes the same rule.
bool IsHostName(std::wstring_view host) {
    if (!host.empty() && host.back() == L'.') host.remove_suffix(1);
    if (host.empty() || host.size() > 253) return false;
    size_t start = 0;
    while (start <= host.size()) {
        size_t dot = host.find(L'.', start);
        std::wstring_view label = host.substr(start, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == L'-' || label.back() == L'-') return false;
        for (wchar_t c : label) {
            bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                      c == L'-' || c == L'_';
            if (!ok) return false;
        }
        if (dot == std::wstring_view::npos) break;
        start = dot + 1;
    }
    return true;
}

}  // namespace

std::optional<HostPort> ParseHostPort(std::wstring_view text, uint16_t defaultPort) {
    HostPort result;
    result.port = defaultPort;
    size_t colon = text.find(L':');
    std::wstring_view host = text.substr(0, colon);
    if (colon != std::wstring_view::npos) {
        std::optional<uint16_t> port = ParsePort(text.substr(colon + 1));
        if (!port) return std::nullopt;
        result.port = *port;
    }
    if (!IsHostName(host)) return std::nullopt;
    result.host = std::wstring(host);
    return result;
}

}  // namespace bv
