// The vendor's public key, as the build found it in BV_VENDOR_KEY.
#include "bv_vendor_key.h"
#include "web/signed_list.h"

namespace bv {

std::optional<crypto::EcP256Point> BuiltInVendorKey() {
#if BV_HAS_VENDOR_KEY
    return crypto::EcP256Point{BV_VENDOR_KEY_POINT};
#else
    return std::nullopt;
#endif
}

}  // namespace bv
