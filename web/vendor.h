// The vendor's web server: one host, fixed at build time (BV_VENDOR_HOST),
// reached over plain HTTP on port 80 unless the command-line option
// --vendor-host=HOST[:PORT] names another host or port (test rigs, demos,
// mirrors).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bv {

std::wstring VendorHost();  // the host name alone
uint16_t VendorPort();      // 80 unless overridden
// The host as URLs and the internet check take it: "host", or "host:port"
// when the port is not 80.
std::wstring VendorAuthority();

// Applies the last well-formed --vendor-host=HOST[:PORT] among the process's
// parameters; answers whether one was found. Malformed ones (empty host, a
// port that is not 1-65535) are ignored.
bool ParseVendorHostOption(const std::vector<std::wstring>& params);

// Tests: put the vendor host back to its build-time value.
void ResetVendorHostForTesting();

}  // namespace bv
