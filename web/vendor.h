// The vendor's web server: one host, fixed at build time (BV_VENDOR_HOST),
// reached over plain HTTP on port 80 unless the command-line option
// --vendor-host=HOST[:PORT] names another host or port (test rigs, demos,
// mirrors).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "util/error.h"

namespace bv {

std::wstring VendorHost();  // the host name alone
uint16_t VendorPort();      // 80 unless overridden
// The host as URLs and the internet check take it: "host", or "host:port"
// when the port is not 80.
std::wstring VendorAuthority();

// Reads every --vendor-host=HOST[:PORT] among the process's parameters and
// applies the last; answers whether one was applied. A malformed one (no
// value, a host that is no host name, a URL, a port that is not 1-65535)
// applies none of them and answers an error whose detail names it: the
// program refuses to start rather than install from the build-time host.
Result<bool> ParseVendorHostOption(const std::vector<std::wstring>& params);

// Tests: put the vendor host back to its build-time value.
void ResetVendorHostForTesting();

}  // namespace bv
