// File-name masks, shared by folder listing and the ZIP component.
#include "platform/fs.h"
#include "platform/os.h"

namespace bv::fs {

bool MaskMatches(const std::wstring& mask, const std::wstring& name) {
    std::wstring m = os::UpperLocale(mask), n = os::UpperLocale(name);
    size_t mi = 0, ni = 0, starM = std::wstring::npos, starN = 0;
    while (ni < n.size()) {
        if (mi < m.size() && (m[mi] == L'?' || m[mi] == n[ni])) {
            ++mi;
            ++ni;
        } else if (mi < m.size() && m[mi] == L'*') {
            // Remember the star; on a mismatch later, let it take one more.
            starM = mi++;
            starN = ni;
        } else if (starM != std::wstring::npos) {
            mi = starM + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (mi < m.size() && m[mi] == L'*') ++mi;
    return mi == m.size();
}

}  // namespace bv::fs
