// The vendor's signed list of files: `sha256sums` (the format `sha256sum`
// writes) and `sha256sums.sig` (an ECDSA P-256 signature over the list's
// exact bytes with SHA-256, as `openssl dgst -sha256 -sign` writes it), both
// in the download folder. A file the wizard downloads is trusted only when
// the list's signature verifies with the key built into the program and the
// file's SHA-256 is the one the list gives for its name.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto.h"
#include "util/error.h"

namespace bv {

// The list's two files, beside the files they vouch for.
extern const wchar_t kSignedListName[];       // "sha256sums"
extern const wchar_t kListSignatureName[];    // "sha256sums.sig"

// Why a file is not trusted, as the log and the unattended mode say it.
// Error::code of a failed check is one of these; Error::detail its text.
enum TrustFailure {
    kNotInList = 1,      // "not in the vendor's signed list"
    kDigestDiffers,      // "SHA-256 differs from the vendor's signed list"
    kListMissing,        // "the vendor's list of files is missing"
    kSignatureInvalid,   // "the signature of the vendor's list of files does not verify"
    kListUnreadable,     // "the vendor's list of files cannot be read"
};
std::wstring TrustFailureText(TrustFailure failure);

// Each name the list holds and its digest.
using FileDigests = std::map<std::string, crypto::Sha256Digest>;

// Reads a list in the format `sha256sum` writes: per line 64 hex digits
// (either case), a blank, a blank or "*" (text or binary mode), and the
// name to the end of the line (blanks included); LF or CR LF line ends, the
// last line with or without one; blank lines are passed over. A line
// beginning with "\" holds an escaped name ("\\" and "\n"), as `sha256sum`
// writes names with those characters. A name listed twice with the same
// digest counts once. Anything else (a short or non-hex digest, a missing
// separator or name, one name with two digests) makes the whole list
// unreadable: the error's detail names the line.
Result<FileDigests> ParseSha256Sums(std::string_view text);

// The list as the program holds it for a run.
class SignedList {
public:
    // No key: nothing is verified and every file passes.
    SignedList() = default;

    // Verifies `signature` over `list` with `key` and reads the list. A
    // missing list (or signature) is given as nothing. Without a key, the
    // list is not needed and every file passes.
    static SignedList Verify(const std::optional<crypto::EcP256Point>& key,
                             const std::optional<std::string>& list,
                             const std::optional<std::string>& signature);

    // Whether files are checked at all (a key is built in).
    bool Required() const { return required_; }
    // The list's own failure (missing, badly signed, unreadable), or success.
    const Result<void>& State() const { return state_; }
    // Whether the file of this name (as requested: lower case) with this
    // digest may be kept. Answers the failure otherwise.
    Result<void> Check(const std::wstring& name, const crypto::Sha256Digest& digest) const;
    size_t size() const { return files_.size(); }

private:
    bool required_ = false;
    Result<void> state_;
    FileDigests files_;
};

// The vendor's public key built into the program (CMake's BV_VENDOR_KEY),
// or nothing when the program was built without one.
std::optional<crypto::EcP256Point> BuiltInVendorKey();

}  // namespace bv
