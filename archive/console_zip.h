// TConsoleZipObject: builds a new archive one file or mask at a time and
// records failures instead of raising them. All objects share one current
// archiver, made by the latest Start.
#pragma once
#include <string>

#include "platform/questions.h"

namespace bv {

class ZipArchiver;

class TConsoleZipObject {
public:
    std::wstring Mask;          // kept for the caller
    std::wstring FileAddError;  // names whose adding failed, each followed by a blank
    bool OpenExisting = false;
    std::wstring CurrAddFName;
    bool Success = false;
    // The questions of the archiver the next Start makes; nullptr asks
    // SystemQuestions().
    bv::Questions* Questions = nullptr;

    // Compression: 1 fastest, 2 maximum, 3 stored, anything else normal.
    // Raises AppError ("EInOutError") when an existing file cannot be deleted.
    bool Start(const std::wstring& ArchiveName, int Compression);
    void AddFile(const std::wstring& FileName);
    void SetPassword(const std::wstring& Password);
    void Finish();
};

extern TConsoleZipObject ConsoleZip;

// The shared current archiver, or nullptr before the first Start.
ZipArchiver* CurrentConsoleArchiver();

}  // namespace bv
