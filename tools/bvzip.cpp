// bvzip: list, test, extract and create ZIP archives with the installer's
// ZIP component. It asks nothing: a member that fails or needs a password it
// was not given is reported on standard error and skipped.
#include <cstdio>
#include <cwchar>
#include <thread>
#include <algorithm>
#include <string>
#include <vector>

#include "archive/zip_archiver.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/strings.h"

namespace {

using namespace bv;

const char kUsage[] =
    "usage: bvzip l ARCHIVE                      list members\n"
    "       bvzip t [-p PASSWORD] ARCHIVE        test members\n"
    "       bvzip x [-p PASSWORD] [-j N] [-d DEST] ARCHIVE [MASK...]\n"
    "                                            extract members (all by default)\n"
    "       bvzip a [-0|-1|-6|-9] [-p PASSWORD] [-j N] ARCHIVE FILE_OR_MASK...\n"
    "                                            add files to ARCHIVE, made if missing\n"
    "                                            (level 6 by default); an existing\n"
    "                                            archive keeps its members, and a file\n"
    "                                            of a member's name replaces it\n"
    "  -j N   compress or extract members on N threads (one per core by default;\n"
    "         1 = all on one thread)\n"
    "       bvzip --help\n"
    "Exit status: 0 all went well, 1 a member failed or was skipped, a mask or\n"
    "name matched nothing, or the archive is damaged (its directory, or members\n"
    "cut off), 2 the archive cannot be opened or the command line is wrong.\n";

void Err(const std::wstring& text) { std::fprintf(stderr, "bvzip: %s\n", os::ToUtf8(text).c_str()); }

// A failure with the system's own reason, where it has one.
std::wstring Describe(const EZipError& e) {
    if (e.native() == 0) return e.message();
    return e.message() + L" (" + os::SystemErrorText(e.native()) + L")";
}

// Answers every question as Cancel and Ignore, reporting it.
class Unattended : public Questions {
public:
    int problems = 0;
    const ZipArchiver* zip = nullptr;
    void ShowMessage(const std::wstring& text) override { Err(text); }
    void ShowError(const std::wstring& text) override { Err(text); }
    Answer AskPassword(const std::wstring& memberName, std::wstring&) override {
        Err(memberName + L": password missing or wrong, skipped");
        ++problems;
        return Answer::Cancel;
    }
    Answer AskFailure(const std::wstring& message, bool) override {
        // The component's question ends every failure with a guess at a
        // full disk; the tool says it only when the system said so, and
        // gives the system's reason.
        const EZipError* failure = zip ? zip->FailureAsked() : nullptr;
        if (!failure) Err(message);
        else if (fs::IsDiskFull(failure->native()))
            Err(Describe(*failure) + L". File processing error, possibly disk is full");
        else Err(Describe(*failure));
        ++problems;
        return Answer::Ignore;
    }
};

std::wstring LocalPath(const std::wstring& arg) {
#ifdef _WIN32
    return arg;
#else
    // Host paths: "/" separators become "\", which the file layer maps back.
    std::wstring p = arg;
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    return fs::FullPath(p);
#endif
}

std::wstring DosStamp(uint32_t dos) {
    wchar_t buf[32];
    std::swprintf(buf, 32, L"%04u-%02u-%02u %02u:%02u", 1980 + ((dos >> 25) & 0x7F), (dos >> 21) & 0x0F,
                  (dos >> 16) & 0x1F, (dos >> 11) & 0x1F, (dos >> 5) & 0x3F);
    return buf;
}

// Adds the files named to the archive: a new one is made, an existing one
// updated (its members kept, a member of an added file's name replaced) on
// a copy that takes its place only when something was added.
int Add(ZipArchiver& zip, Unattended& questions, const std::vector<std::wstring>& names, const std::wstring& shownName) {
    const bool existing = fs::FileExists(zip.FileName);
    try {
        zip.OpenArchive(existing ? fmOpenReadWrite : fmCreate);
    } catch (const EZipError& e) {
        Err(Describe(e));
        return 2;
    }
    // Everything named is one update: one directory, written at the end.
    zip.BeginUpdate();
    const std::wstring baseDir = zip.BaseDir;
    for (const std::wstring& name : names) {
        std::wstring mask = LocalPath(name);
        zip.BaseDir = baseDir;
        zip.Options.Recurse = true;
        if (fs::DirectoryExists(mask)) {
            // A folder is added with everything below it.
            zip.BaseDir = FolderOf(mask);
            mask += L"\\*";
        }
        const size_t before = zip.MembersWritten();
        const int problemsBefore = questions.problems;
        try {
            zip.AddFiles(mask);
        } catch (const EZipError& e) {
            Err(Describe(e));
            ++questions.problems;
        }
        if (zip.MembersWritten() == before && questions.problems == problemsBefore) {
            Err(L"no file matches " + name);
            ++questions.problems;
        }
    }
    const bool added = zip.MembersWritten() > 0;
    try {
        zip.EndUpdate();
        zip.CloseArchive();
    } catch (const EZipError& e) {
        Err(Describe(e));
        return 2;
    }
    if (!added) {
        // A new archive with nothing in it is not left behind.
        if (!existing) (void)fs::RemoveFile(zip.FileName);
        Err(existing ? L"nothing was added; " + shownName + L" is unchanged"
                     : L"nothing was added; " + shownName + L" was not made");
        return 1;
    }
    return questions.problems ? 1 : 0;
}

int Run(std::vector<std::wstring> args) {
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args[0] == L"--help" || args[0] == L"-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::wstring command = args[0];
    std::wstring password, dest;
    TCompressionLevel level = clNormal;
    unsigned threads = 0;
    std::vector<std::wstring> rest;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        const bool takesValue = a == L"-p" || a == L"-j" || (a == L"-d" && command == L"x");
        if (takesValue && i + 1 >= args.size()) {
            Err(L"option " + a + L" needs a value");
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (a == L"-p") password = args[++i];
        else if (a == L"-d" && command == L"x") dest = args[++i];
        else if (a == L"-j") {
            const std::wstring& v = args[++i];
            wchar_t* end = nullptr;
            unsigned long n = std::wcstoul(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > 256) {
                Err(L"-j needs a number from 1 to 256");
                return 2;
            }
            threads = static_cast<unsigned>(n);
        } else if (command == L"a" && (a == L"-0" || a == L"-1" || a == L"-6" || a == L"-9"))
            level = a == L"-0" ? clNone : a == L"-1" ? clFastest : a == L"-9" ? clMax : clNormal;
        else if (!a.empty() && a[0] == L'-' && a.size() > 1) {
            Err(L"unknown option " + a);
            std::fputs(kUsage, stderr);
            return 2;
        } else rest.push_back(a);
    }
    bool known = command == L"l" || command == L"t" || command == L"x" || command == L"a";
    if (!known || rest.empty() || (command == L"a" && rest.size() < 2) ||
        ((command == L"l" || command == L"t") && rest.size() != 1)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Unattended questions;
    ZipArchiver zip;
    zip.Questions = &questions;
    questions.zip = &zip;
    zip.FileName = LocalPath(rest[0]);
    zip.Password = os::ToAnsi(password);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    zip.Threads = threads;
    if (fs::DirectoryExists(zip.FileName)) {
        Err(rest[0] + L" is a folder, not an archive");
        return 2;
    }
    if (command == L"a") {
        zip.CompressionLevel = level;
        return Add(zip, questions, std::vector<std::wstring>(rest.begin() + 1, rest.end()), rest[0]);
    }
    try {
        zip.OpenArchive(fmOpenRead);
    } catch (const EZipError& e) {
        Err(Describe(e));
        return 2;
    }
    // An archive opened by the scan is said to be damaged, whatever the command.
    const std::wstring scanned = zip.ScanReport();
    if (!scanned.empty()) Err(scanned);
    const auto& entries = zip.Entries();
    if (command == L"l") {
        std::printf("%12s %12s %-6s %-16s %s\n", "Size", "Packed", "Method", "Modified", "Name");
        uint64_t total = 0;
        for (const ZipEntry& e : entries) {
            const char* method = e.actualMethod == 0 ? "Stored" : e.actualMethod == 8 ? "Defl" : "Other";
            std::string enc = e.encryption == ZipEncryption::None     ? ""
                              : e.encryption == ZipEncryption::Pkware ? " (encrypted)"
                                                                      : " (AES encrypted)";
            std::printf("%12llu %12llu %-6s %-16s %s%s\n", (unsigned long long)e.uncompressedSize,
                        (unsigned long long)e.compressedSize, method,
                        os::ToUtf8(DosStamp(e.DosDateTime())).c_str(), os::ToUtf8(e.name).c_str(),
                        enc.c_str());
            total += e.uncompressedSize;
        }
        std::printf("%12llu %zu member(s)%s\n", (unsigned long long)total, entries.size(),
                    zip.WasScanned() ? ", directory rebuilt from local headers" : "");
        for (const EZipError& e : zip.Damage()) Err(e.message());
        return 0;
    }
    if (command == L"t") {
        int failed = zip.WasScanned() ? 1 : 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].IsDirectory()) continue;
            try {
                if (zip.ReadMemberData(i, [](const uint8_t*, size_t) { return Result<void>(); }))
                    std::printf("OK    %s\n", os::ToUtf8(entries[i].name).c_str());
            } catch (const EZipError& e) {
                Err(entries[i].name + L": " + Describe(e));
                ++failed;
            }
        }
        // Members the scan had to drop fail the test, named by their archive.
        for (const EZipError& e : zip.Damage()) Err(e.message());
        if (zip.WasDamaged()) ++failed;
        int problems = failed + questions.problems;
        std::printf("%s\n", problems ? "Errors found." : "No errors.");
        return problems ? 1 : 0;
    }
    // Extraction.
    zip.BaseDir = dest.empty() ? fs::FullPath(L".") : LocalPath(dest);
    if (!zip.BaseDir.empty() && zip.BaseDir.back() != L'\\') zip.BaseDir += L'\\';
    std::vector<std::wstring> masks(rest.begin() + 1, rest.end());
    if (masks.empty()) masks.push_back(L"*");
    for (const std::wstring& m : masks) {
        const bool matches = std::any_of(entries.begin(), entries.end(),
                                         [&](const ZipEntry& e) { return MemberMatchesMask(m, e.name); });
        // In an archive whose scan dropped members, the extraction itself
        // reports a dropped member that the mask chooses.
        if (!matches && !zip.WasDamaged()) {
            Err(L"no member matches " + m);
            ++questions.problems;
            continue;
        }
        try {
            zip.ExtractFiles(m);
        } catch (const EZipError& e) {
            Err(Describe(e));
            ++questions.problems;
        }
    }
    // A damaged archive fails the extraction even when every member that
    // remained is fine; its dropped members were reported if a mask chose them.
    if (zip.WasDamaged() && !questions.problems)
        for (const EZipError& e : zip.Damage()) Err(e.message());
    return questions.problems || zip.WasDamaged() || zip.WasScanned() ? 1 : 0;
}

}  // namespace

int main() {
    try {
        return Run(bv::os::CommandLineParameters());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bvzip: %s\n", e.what());
        return 2;
    }
}
