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

// "host" (the default port) or "host:port". The host is a name or an IPv4
// address: labels of letters, digits, "-" and "_" between single dots (a
// final dot allowed), at most 253 characters. Empty text, an empty host, any
// other character (a URL's "/", a blank), a bad port and more than one colon
// (an unbracketed IPv6 address cannot be told from its port) answer nothing.
std::optional<HostPort> ParseHostPort(std::wstring_view text, uint16_t defaultPort = 80);

}  // namespace bv
