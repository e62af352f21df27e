// The one reader of a server given as "host" or "host:port" (options,
// settings, the transfer client's server address).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bv {

struct HostPort {
    std::wstring host;
    uint16_t port = 80;
};

// A port as decimal digits: 1 to 65535, at most five digits, nothing else.
std::optional<uint16_t> ParsePort(std::wstring_view text);

// "host" (the default port) or "host:port". Empty text, an empty host, a bad port and
// more than one colon (an unbracketed IPv6 address cannot be told from its
// port) answer nothing.
std::optional<HostPort> ParseHostPort(std::wstring_view text, uint16_t defaultPort = 80);

}  // namespace bv
