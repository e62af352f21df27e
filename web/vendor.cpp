// The vendor host: the build-time constant and its command-line override.
#include "web/vendor.h"

#include <string_view>

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

bool ParsePort(std::wstring_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<uint32_t>(c - L'0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::wstring VendorHost() { return State().host; }
uint16_t VendorPort() { return State().port; }

std::wstring VendorAuthority() {
    const VendorState& s = State();
    return s.port == 80 ? s.host : s.host + L":" + std::to_wstring(s.port);
}

bool ParseVendorHostOption(const std::vector<std::wstring>& params) {
    constexpr std::wstring_view kOption = L"--vendor-host=";
    bool found = false;
    for (const std::wstring& param : params) {
        if (param.compare(0, kOption.size(), kOption) != 0) continue;
        std::wstring_view value = std::wstring_view(param).substr(kOption.size());
        std::wstring_view host = value;
        uint16_t port = 80;
        size_t colon = value.find(L':');
        if (colon != std::wstring_view::npos) {
            host = value.substr(0, colon);
            if (!ParsePort(value.substr(colon + 1), port)) continue;
        }
        if (host.empty()) continue;
        State().host = std::wstring(host);
        State().port = port;
        found = true;
    }
    return found;
}

void ResetVendorHostForTesting() { State() = VendorState{}; }

}  // namespace bv
