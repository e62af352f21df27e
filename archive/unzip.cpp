// Unzip and the start-up file extraction.
#include "archive/unzip.h"

#include "archive/zip_archiver.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/log.h"
#include "util/strings.h"

namespace bv {

namespace {

// Passes every question on to the caller's questions and notes the members
// that end up not extracted: a failure not retried, a password not given.
class NotingQuestions : public Questions {
public:
    NotingQuestions(Questions& asked, std::vector<Error>& notes) : asked_(asked), notes_(notes) {}
    void ShowMessage(const std::wstring& text) override { asked_.ShowMessage(text); }
    void ShowError(const std::wstring& text) override { asked_.ShowError(text); }
    Answer AskPassword(const std::wstring& memberName, std::wstring& password) override {
        Answer answer = asked_.AskPassword(memberName, password);
        if (answer != Answer::Ok) notes_.push_back(Error{0, 0, memberName + L" was skipped: it needs a password"});
        return answer;
    }
    Answer AskFailure(const std::wstring& message, bool canRetry) override {
        Answer answer = asked_.AskFailure(message, canRetry);
        if (answer != Answer::Retry) notes_.push_back(Error{0, 0, message});
        return answer;
    }

private:
    Questions& asked_;
    std::vector<Error>& notes_;
};

// Unzip, noting in `notes` (when given) why members were not extracted.
bool UnzipNoting(const std::wstring& Password, const std::wstring& ArchivePath,
                 const std::wstring& DestFolder, const std::wstring& Masks, Questions& questions,
                 std::vector<Error>* notes) {
    bool result = true;
    std::vector<Error> local;
    NotingQuestions noting(questions, notes ? *notes : local);
    auto note = [&](const std::wstring& text, int number) {
        if (notes) notes->push_back(Error{number, 0, text});
    };
    try {
        ZipArchiver zip;
        zip.Questions = notes ? static_cast<Questions*>(&noting) : &questions;
        if (!Password.empty()) zip.Password = os::ToAnsi(Password);
        std::wstring path = ArchivePath;
        if (path.find(L'\\') == std::wstring::npos) path = AddBackslash(fs::CurrentDirectory()) + path;
        zip.FileName = path;
        zip.OpenArchive(fmOpenRead);
        // Opened by the scan: the log says so, and the extraction goes on.
        if (zip.WasScanned()) WriteLog(zip.ScanReport());
        std::wstring root = DestFolder;
        if (root.empty()) root = FolderOf(path);
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
                } catch (const EZipError& e) {
                    note(e.message(), e.number());
                    result = false;
                } catch (const std::exception&) {
                    note(L"extraction failed", 0);
                    result = false;
                }
            }
        }
        zip.CloseArchive();
    } catch (const EZipError& e) {
        note(e.message(), e.number());
        result = false;
    } catch (const std::exception&) {
        note(L"extraction failed", 0);
        result = false;
    }
    return result;
}

}  // namespace

bool Unzip(const std::wstring& Password, const std::wstring& ArchivePath,
           const std::wstring& DestFolder, const std::wstring& Masks, Questions& questions) {
    return UnzipNoting(Password, ArchivePath, DestFolder, Masks, questions, nullptr);
}

void UnzipAndLog(const std::wstring& Password, const std::wstring& ArchivePath,
                 const std::wstring& DestFolder, const std::wstring& Mask, Questions& questions) {
    // The password never goes into the log.
    std::wstring shown = Password.empty() ? std::wstring() : std::wstring(L"*****");
    WriteLog(L"Unzip " + shown + L", " + ArchivePath + L", " + DestFolder + L", " + Mask);
    (void)Unzip(Password, ArchivePath, DestFolder, Mask, questions);
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

std::vector<Error> UnzipExtraBaseFiles(const std::wstring& InstallFolder, const std::wstring& RemoteName,
                                       Questions& questions) {
    std::vector<Error> problems;
    try {
        WriteLog(L"UnzipExtraBaseFiles-- " + RemoteName);
        std::wstring archive = InstallFolder + L"BaseFiles.zip";
        for (const std::wstring& member : StartupMembers(RemoteName)) {
            // As UnzipAndLog, but what went wrong with the member is kept.
            WriteLog(L"Unzip , " + archive + L", " + InstallFolder + L", " + member);
            const std::wstring target = InstallFolder + member;
            const fs::FileInfo before = fs::Stat(target);
            std::vector<Error> notes;
            (void)UnzipNoting(L"", archive, InstallFolder, member, questions, &notes);
            // A member that was not extracted never costs the file it would
            // have replaced: the operator is told which file was kept.
            if (!notes.empty() && before.exists && !before.directory) {
                const fs::FileInfo after = fs::Stat(target);
                if (after.exists && after.size == before.size && after.writeTime == before.writeTime)
                    notes.back().detail += L"; the existing file " + target + L" was kept";
            }
            for (Error& note : notes) {
                note.detail = L"start-up file " + member + L": " + note.detail;
                WriteLog(L"UnzipExtraBaseFiles problem: " + note.detail);
                problems.push_back(std::move(note));
            }
        }
    } catch (const std::exception&) {
        problems.push_back(Error{0, 0, L"the start-up files could not be extracted"});
    }
    return problems;
}

}  // namespace bv
