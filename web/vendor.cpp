// The vendor host: the build-time constant and its command-line override.
#include "web/vendor.h"

#include <string_view>

#include "util/host_port.h"

#ifndef BV_VENDOR_HOST
#error "BV_VENDOR_HOST must be defined by the build"
#endif

namespace bv {
namespace {

#define BV_WIDEN2(x) L##x
#define BV_WIDEN(x) BV_WIDEN2(x)

struct VendorState {
    std::wstring host = BV_WIDEN(BV_VENDOR_HOST);
    uint16_t port = 80;
};

VendorState& State() {
    static VendorState state;
    return state;
}

}  // namespace

std::wstring VendorHost() { return State().host; }
uint16_t VendorPort() { return State().port; }

std::wstring VendorAuthority() {
    const VendorState& s = State();
    return s.port == 80 ? s.host : s.host + L":" + std::to_wstring(s.port);
}

Result<bool> ParseVendorHostOption(const std::vector<std::wstring>& params) {
    constexpr std::wstring_view kOption = L"--vendor-host";
    std::optional<HostPort> chosen;
    for (const std::wstring& param : params) {
        if (param.compare(0, kOption.size(), kOption) != 0) continue;
        std::wstring_view rest = std::wstring_view(param).substr(kOption.size());
        // "--vendor-hosts=..." is another option; "--vendor-host" alone has
        // lost its value (perhaps to a blank).
        if (!rest.empty() && rest[0] != L'=') continue;
        std::optional<HostPort> parsed = rest.empty() ? std::nullopt : ParseHostPort(rest.substr(1));
        if (!parsed)
            return Error{1, 0, L"bad option " + param + L": the vendor host is given as HOST or HOST:PORT "
                                                        L"(a host name or IPv4 address, a port from 1 to 65535)"};
        chosen = std::move(parsed);
    }
    if (!chosen) return false;
    State().host = chosen->host;
    State().port = chosen->port;
    return true;
}

void ResetVendorHostForTesting() { State() = VendorState{}; }

}  // namespace bv
