// The zip writer object and its shared current archiver.
#include "archive/console_zip.h"

#include <memory>

#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/error.h"
#include "util/strings.h"

namespace bv {
namespace {

std::unique_ptr<ZipArchiver>& Current() {
    static std::unique_ptr<ZipArchiver> current;
    return current;
}

}  // namespace

TConsoleZipObject ConsoleZip;

ZipArchiver* CurrentConsoleArchiver() { return Current().get(); }

bool TConsoleZipObject::Start(const std::wstring& ArchiveName, int Compression) {
    std::wstring full = fs::FullPath(ArchiveName);
    if (!OpenExisting && fs::FileExists(full) && !fs::RemoveFile(full))
        throw AppError(L"EInOutError", L"Cannot delete file \"" + full + L"\"");
    OpenExisting = false;
    FileAddError.clear();
    Current() = std::make_unique<ZipArchiver>();
    ZipArchiver& zip = *Current();
    Success = true;
    try {
        zip.Questions = Questions;
        zip.UnicodeFilenames = true;
        zip.CompressionLevel = Compression == 1   ? clFastest
                               : Compression == 2 ? clMax
                               : Compression == 3 ? clNone
                                                  : clNormal;
        zip.FileName = full;
        zip.OpenArchive(fmCreate);
        zip.Options.Recurse = false;
        zip.Options.StorePath = spNoPath;
        zip.BaseDir = FolderOf(full);
    } catch (const std::exception&) {
        Success = false;
        return false;
    }
    return true;
}

void TConsoleZipObject::AddFile(const std::wstring& FileName) {
    std::wstring full = fs::FullPath(FileName);
    if (!fs::FileExists(full) && full.find_first_of(L"*?") == std::wstring::npos) return;
    CurrAddFName = full;
    try {
        if (!Current()) throw EZipError(zeNotOpen);
        Current()->AddFiles(full, kZipSearchAttrAll, L"");
    } catch (const std::exception&) {
        Success = false;
        FileAddError += CurrAddFName + L" ";
    }
}

void TConsoleZipObject::SetPassword(const std::wstring& Password) {
    if (!Current() || !Current()->IsOpen()) {
        Success = false;
        return;
    }
    Current()->Password = os::ToAnsi(Password);
}

void TConsoleZipObject::Finish() {
    try {
        if (!Current() || !Current()->IsOpen()) throw EZipError(zeNotOpen);
        Current()->CloseArchive();
    } catch (const std::exception&) {
        Success = false;
    }
}

}  // namespace bv
