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
    "                                            create ARCHIVE from files (level 6 by default)\n"
    "  -j N   compress or extract members on N threads (one per core by default;\n"
    "         1 = all on one thread)\n"
    "       bvzip --help\n"
    "Exit status: 0 all went well, 1 a member failed or was skipped or the\n"
    "archive is damaged (members cut off),\n"
    "2 the archive cannot be opened or the command line is wrong.\n";

void Err(const std::wstring& text) { std::fprintf(stderr, "bvzip: %s\n", os::ToUtf8(text).c_str()); }

// Answers every question as Cancel and Ignore, reporting it.
class Unattended : public Questions {
public:
    int problems = 0;
    void ShowMessage(const std::wstring& text) override { Err(text); }
    void ShowError(const std::wstring& text) override { Err(text); }
    Answer AskPassword(const std::wstring& memberName, std::wstring&) override {
        Err(memberName + L": password missing or wrong, skipped");
        ++problems;
        return Answer::Cancel;
    }
    Answer AskFailure(const std::wstring& message, bool) override {
        Err(message);
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
        if (a == L"-p" && i + 1 < args.size()) password = args[++i];
        else if (a == L"-d" && i + 1 < args.size() && command == L"x") dest = args[++i];
        else if (a == L"-j" && i + 1 < args.size()) {
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
    zip.FileName = LocalPath(rest[0]);
    zip.Password = os::ToAnsi(password);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    zip.Threads = threads;
    if (command == L"a") {
        zip.CompressionLevel = level;
        try {
            zip.OpenArchive(fmCreate);
        } catch (const EZipError& e) {
            Err(e.message());
            return 2;
        }
        // Everything named is one update: one directory, written at the end.
        zip.BeginUpdate();
        for (size_t i = 1; i < rest.size(); ++i) {
            std::wstring mask = LocalPath(rest[i]);
            if (fs::DirectoryExists(mask)) {
                // A folder is added with everything below it.
                zip.BaseDir = FolderOf(mask);
                mask += L"\\*";
                zip.Options.Recurse = true;
            }
            try {
                zip.AddFiles(mask);
            } catch (const EZipError& e) {
                Err(e.message());
                ++questions.problems;
            }
        }
        try {
            zip.EndUpdate();
            zip.CloseArchive();
        } catch (const EZipError& e) {
            Err(e.message());
            return 2;
        }
        return questions.problems ? 1 : 0;
    }
    try {
        zip.OpenArchive(fmOpenRead);
    } catch (const EZipError& e) {
        Err(e.message());
        return 2;
    }
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
        int failed = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].IsDirectory()) continue;
            try {
                if (zip.ReadMemberData(i, [](const uint8_t*, size_t) { return Result<void>(); }))
                    std::printf("OK    %s\n", os::ToUtf8(entries[i].name).c_str());
            } catch (const EZipError& e) {
                Err(entries[i].name + L": " + e.message());
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
        try {
            zip.ExtractFiles(m);
        } catch (const EZipError& e) {
            Err(e.message());
            ++questions.problems;
        }
    }
    // A damaged archive fails the extraction even when every member that
    // remained is fine; its dropped members were reported if a mask chose them.
    if (zip.WasDamaged() && !questions.problems)
        for (const EZipError& e : zip.Damage()) Err(e.message());
    return questions.problems || zip.WasDamaged() ? 1 : 0;
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
