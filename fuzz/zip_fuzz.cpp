// libFuzzer target: opens the input as an archive, lists it, reads every
// plain member's data (to memory) and extracts everything into a scratch folder
// (in memory where the system has one).
// The password prompt is answered once with a fixed one, then cancelled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/zip_archiver.h"
#include "platform/fs.h"

namespace {

class FuzzQuestions : public bv::Questions {
public:
    int asked = 0;
    void ShowMessage(const std::wstring&) override {}
    void ShowError(const std::wstring&) override {}
    bv::Answer AskPassword(const std::wstring&, std::wstring& password) override {
        // Once: each try of an AES member derives its key anew (1000
        // rounds), and trying the same password again finds nothing new.
        if (asked++ > 0) return bv::Answer::Cancel;
        password = L"pw";
        return bv::Answer::Ok;
    }
    bv::Answer AskFailure(const std::wstring&, bool) override { return bv::Answer::Ignore; }
};

// Lives until exit (never destroyed), when the folder is removed. It lies
// on a memory file system where there is one: every input is written there
// and extracted there, and a disk would make that the cost of a run.
const std::string& Scratch() {
    static const std::string* dir = [] {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "bvzipfuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        bv::fs::MapDrive(L'F', tmpl);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Scratch(), ec);
        });
        return new std::string(tmpl);
    }();
    return *dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch();
    if (!bv::fs::WriteFile(L"F:\\in.zip", std::string_view(reinterpret_cast<const char*>(data), size)))
        std::abort();
    FuzzQuestions questions;
    bv::ZipArchiver zip;
    zip.Questions = &questions;
    zip.FileName = L"F:\\in.zip";
    try {
        zip.OpenArchive(bv::fmOpenRead);
    } catch (const bv::EZipError&) {
        return 0;
    }
    size_t produced = 0;
    for (size_t i = 0; i < zip.Entries().size(); ++i) {
        // Encrypted members are read by the extraction below: each try of an
        // AES one derives its key anew, which would be most of a run's time.
        if (zip.Entries()[i].encryption != bv::ZipEncryption::None) continue;
        try {
            (void)zip.ReadMemberData(i, [&](const uint8_t* p, size_t n) {
                produced += n;
                return p != nullptr;
            });
        } catch (const bv::EZipError&) {
        }
    }
    zip.BaseDir = L"F:\\out\\";
    try {
        zip.ExtractFiles(L"*");
    } catch (const bv::EZipError&) {
    }
    zip.CloseArchive();
    std::error_code ec;
    std::filesystem::remove_all(Scratch() + "/out", ec);
    return 0;
}
