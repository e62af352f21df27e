// The vendor's signed list as a run of the wizard uses it: fetched from a
// download folder the first time a file of that folder is checked, verified
// with the vendor's key, and kept for the rest of the run.
#pragma once
#include <map>
#include <optional>
#include <string>

#include "platform/crypto.h"
#include "web/http_get.h"
#include "web/signed_list.h"

namespace bv {

class VendorFiles {
public:
    // `key`: the vendor's public key; without one nothing is fetched or
    // checked, and the log says once that downloads are not verified.
    explicit VendorFiles(std::optional<crypto::EcP256Point> key);

    // The check of a file to be fetched from `url`: the list of the folder
    // it lies in (everything up to its last "/") and its name there. Empty
    // without a key.
    DigestCheck CheckFor(const std::wstring& url);

    // The list of `folder` (ending in "/"), fetched and verified on first
    // use.
    const SignedList& ListFor(const std::wstring& folder);

private:
    std::optional<crypto::EcP256Point> key_;
    std::map<std::wstring, SignedList> lists_;
    bool toldUnverified_ = false;
};

}  // namespace bv
