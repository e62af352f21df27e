// The internet check and the lookup of the download base address on the
// vendor's web server.
#pragma once
#include <cstdint>
#include <string>

namespace bv {

// The "-P" switch: while on, CheckForInternet answers true without
// connecting. Set by the window's SetParams.
extern bool SkipInternetCheck;

// True when `host` ("name" or "name:port"; port 80 when none is given)
// accepts a TCP connection over IPv4 within `timeoutMs`, or when the skip
// switch is on. Never raises. The window passes VendorAuthority() and 2000.
bool CheckForInternet(const std::wstring& host, uint32_t timeoutMs);

// The download base address: the body of the vendor server's value file
// "/values/bvstartup.url" with surrounding blanks and line breaks dropped
// and a final "/" added, or "http://<vendor host>/bvfiles/bvstartup/" when
// the file cannot be fetched or holds no "http://" address (an empty body,
// an HTML page); then the body's start is logged before the address.
std::wstring GetServerBaseURL();

}  // namespace bv
