// The vendor's signed list: its reader and its check.
#include "web/signed_list.h"

#include "platform/os.h"

namespace bv {

const wchar_t kSignedListName[] = L"sha256sums";
const wchar_t kListSignatureName[] = L"sha256sums.sig";

std::wstring TrustFailureText(TrustFailure failure) {
    switch (failure) {
        case kNotInList: return L"not in the vendor's signed list";
        case kDigestDiffers: return L"SHA-256 differs from the vendor's signed list";
        case kListMissing: return L"the vendor's list of files is missing";
        case kSignatureInvalid: return L"the signature of the vendor's list of files does not verify";
        case kListUnreadable: return L"the vendor's list of files cannot be read";
    }
    return L"the file is not trusted";
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Error LineError(size_t number, const std::string& why) {
    std::string text = "line " + std::to_string(number) + ": " + why;
    return Error{kListUnreadable, 0, std::wstring(text.begin(), text.end())};
}

// "\\" and "\n" in a name written by sha256sum with a leading "\".
std::optional<std::string> Unescape(std::string_view name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            out.push_back(name[i]);
            continue;
        }
        if (++i == name.size()) return std::nullopt;
        if (name[i] == '\\') out.push_back('\\');
        else if (name[i] == 'n') out.push_back('\n');
        else return std::nullopt;
    }
    return out;
}

}  // namespace

Result<FileDigests> ParseSha256Sums(std::string_view text) {
    FileDigests files;
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        bool escaped = line.front() == '\\';
        if (escaped) line.remove_prefix(1);
        // 64 hex digits, a blank, then " " or "*", then at least one byte of name.
        if (line.size() < 67) return LineError(number, "too short for a digest and a name");
        crypto::Sha256Digest digest{};
        for (size_t i = 0; i < 32; ++i) {
            int high = HexValue(line[2 * i]), low = HexValue(line[2 * i + 1]);
            if (high < 0 || low < 0) return LineError(number, "the digest is not 64 hex digits");
            digest[i] = static_cast<uint8_t>(high << 4 | low);
        }
        if (line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
            return LineError(number, "no \"  \" or \" *\" after the digest");
        std::string_view rawName = line.substr(66);
        std::optional<std::string> name = escaped ? Unescape(rawName) : std::string(rawName);
        if (!name || name->empty()) return LineError(number, "the name is not readable");
        auto [at, inserted] = files.emplace(*name, digest);
        if (!inserted && at->second != digest) return LineError(number, "a name listed twice with two digests");
    }
    return files;
}

SignedList SignedList::Verify(const std::optional<crypto::EcP256Point>& key,
                              const std::optional<std::string>& list,
                              const std::optional<std::string>& signature) {
    SignedList out;
    if (!key) return out;
    out.required_ = true;
    if (!list) {
        out.state_ = Error{kListMissing, 0, TrustFailureText(kListMissing)};
        return out;
    }
    crypto::Sha256 hash;
    crypto::Sha256Digest digest{};
    bool hashed = hash.Update(list->data(), list->size()) && hash.Final(digest);
    if (!hashed || !signature ||
        !crypto::VerifyEcdsaP256(*key, digest, reinterpret_cast<const uint8_t*>(signature->data()),
                                 signature->size())) {
        out.state_ = Error{kSignatureInvalid, 0, TrustFailureText(kSignatureInvalid)};
        return out;
    }
    // Only a list that verified is read: its bytes are the vendor's.
    Result<FileDigests> files = ParseSha256Sums(*list);
    if (!files) {
        out.state_ = Error{kListUnreadable, 0, TrustFailureText(kListUnreadable) + L" (" + files.error().detail + L")"};
        return out;
    }
    out.files_ = std::move(files.value());
    return out;
}

Result<void> SignedList::Check(const std::wstring& name, const crypto::Sha256Digest& digest) const {
    if (!required_) return {};
    if (!state_) return state_.error();
    auto at = files_.find(os::ToUtf8(name));
    if (at == files_.end()) return Error{kNotInList, 0, TrustFailureText(kNotInList)};
    if (at->second != digest) return Error{kDigestDiffers, 0, TrustFailureText(kDigestDiffers)};
    return {};
}

}  // namespace bv
