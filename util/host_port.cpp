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
    if (host.empty()) return std::nullopt;
    result.host = std::wstring(host);
    return result;
}

}  // namespace bv
