// Unzip and the start-up file extraction.
#include "archive/unzip.h"

#include "archive/zip_archiver.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "transfer/log.h"
#include "util/strings.h"

namespace bv {

bool Unzip(const std::wstring& Password, const std::wstring& ArchivePath,
           const std::wstring& DestFolder, const std::wstring& Masks) {
    bool result = true;
    try {
        ZipArchiver zip;
        if (!Password.empty()) zip.Password = os::ToAnsi(Password);
        std::wstring path = ArchivePath;
        if (path.find(L'\\') == std::wstring::npos) path = AddBackslash(fs::CurrentDirectory()) + path;
        zip.FileName = path;
        zip.OpenArchive(fmOpenRead);
        std::wstring root = DestFolder;
        if (root.empty()) {
            size_t cut = path.find_last_of(L'\\');
            root = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
        }
        if (!root.empty() && root.back() != L'\\') root += L'\\';
        zip.BaseDir = root;
        if (Masks.find(L'|') == std::wstring::npos) {
            zip.ExtractFiles(Masks, kZipSearchAttrAll, L"");
        } else {
            const CharSet bar{L'|'};
            uint8_t count = CountFields(Masks, bar);
            for (int32_t i = 1; i <= count; ++i) {
                try {
                    zip.ExtractFiles(ExtractField(i, Masks, bar), kZipSearchAttrAll, L"");
                } catch (...) {
                    result = false;
                }
            }
        }
        zip.CloseArchive();
    } catch (...) {
        result = false;
    }
    return result;
}

void UnzipAndLog(const std::wstring& Password, const std::wstring& ArchivePath,
                 const std::wstring& DestFolder, const std::wstring& Mask) {
    // The password never goes into the log.
    std::wstring shown = Password.empty() ? std::wstring() : std::wstring(L"*****");
    WriteLog(L"Unzip " + shown + L", " + ArchivePath + L", " + DestFolder + L", " + Mask);
    (void)Unzip(Password, ArchivePath, DestFolder, Mask);
}

std::vector<std::wstring> StartupMembers(const std::wstring& RemoteName) {
    std::vector<std::wstring> members = {L"worklist.lst", L"FLYTABLE.BVG", L"TrimTool.exe",
                                         L"linkup.exe",   L"BVTuner.exe",  L"bv_badge.gif"};
    if (RemoteName == L"basefiles_cdn.zip") {
        members.push_back(L"BVBASE.DAT");
    } else if (RemoteName == L"basefiles_ita.zip") {
        for (const wchar_t* m : {L"BVBASE.DAT", L"BVBASE.TXT", L"BVLANG.ITA", L"BVLANG.DAT"})
            members.push_back(m);
    } else if (RemoteName == L"basefiles_spa.zip") {
        for (const wchar_t* m : {L"BVBASE.DAT", L"BVBASE.TXT", L"BVHINTS.DAT", L"BVPANEL.DAT",
                                 L"BVPANEL.MEN", L"BVLANG.DAT", L"STOCK1.DAT"})
            members.push_back(m);
    }
    return members;
}

void UnzipExtraBaseFiles(const std::wstring& InstallFolder, const std::wstring& RemoteName) {
    try {
        WriteLog(L"UnzipExtraBaseFiles-- " + RemoteName);
        std::wstring archive = InstallFolder + L"BaseFiles.zip";
        for (const std::wstring& member : StartupMembers(RemoteName))
            UnzipAndLog(L"", archive, InstallFolder, member);
    } catch (...) {
    }
}

}  // namespace bv
