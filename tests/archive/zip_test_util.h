// Helpers for the archive tests: a scratch folder reachable through a
// Windows path on both builds, scripted answers to the ZIP questions, and a
// builder of small hand-made archives for damaged-input cases.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/questions.h"

namespace bv::test {

// A temporary folder, removed afterwards. root() is its Windows path with a
// trailing "\" (natively a drive letter of its own mapped to it), host() its host path.
class ZipScratch {
public:
    ZipScratch();
    ~ZipScratch();
    ZipScratch(const ZipScratch&) = delete;
    ZipScratch& operator=(const ZipScratch&) = delete;
    const std::wstring& root() const { return root_; }
    const std::string& host() const { return host_; }
    std::wstring operator/(const std::wstring& name) const { return root_ + name; }
    // Makes the folder the current directory until destruction.
    void Enter();

private:
    std::wstring root_;
    std::string host_;
    std::string previous_;
};

std::string ReadAll(const std::wstring& path);
// The folder's entries (files and folders, no "." or ".."), sorted.
std::vector<std::wstring> Listing(const std::wstring& folder);

// Runs the program at the host path `program` with `args` (under Wine as a
// Windows process) and answers its exit status; what it wrote to standard
// output and error, in `output`. The capture file lives in `dir`.
int RunProgram(const std::string& program, const std::vector<std::wstring>& args, const ZipScratch& dir,
               std::string& output);
// A path inside `dir` as a program takes it on its command line: the
// Windows path under Wine, the host path natively.
std::wstring ArgPath(const ZipScratch& dir, const std::wstring& name);
void WriteAll(const std::wstring& path, const std::string& bytes);

// Answers the questions from scripts; an empty script answers Cancel and
// Ignore. Records every question.
class ScriptedQuestions : public Questions {
public:
    std::vector<std::wstring> passwords;
    std::vector<Answer> failures;
    std::vector<std::wstring> passwordAsks;
    std::vector<std::wstring> failureMessages;
    std::vector<bool> failureRetryOffered;
    std::vector<std::wstring> messages;

    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
    void ShowError(const std::wstring& text) override { messages.push_back(text); }
    Answer AskPassword(const std::wstring& memberName, std::wstring& password) override;
    Answer AskFailure(const std::wstring& message, bool canRetry) override;
};

struct FixtureMember {
    std::string name;  // raw name bytes
    std::string plain;
    uint16_t method = 0;  // 0 stores, 8 deflates `plain`; others store as given
    uint16_t flags = 0;
    std::optional<uint32_t> crc, compressedSize, uncompressedSize;
    std::string extra;  // same in local and central headers
    uint32_t attributes = 0x20;
    uint16_t time = 0x6000, date = 0x5A21;
    bool descriptor = false;  // sizes and CRC in a data descriptor (flag 3)
    uint16_t madeBy = 20;     // version made by: host system in the high byte
    std::optional<std::string> data;  // stored bytes as given (after method)
};

std::string Deflate(const std::string& plain, int level = 6);
uint32_t Crc32(const std::string& bytes);
std::string Le16(uint32_t v);
std::string Le32(uint32_t v);
std::string Le64(uint64_t v);
// A complete archive: local records, central directory, end record.
std::string BuildZip(const std::vector<FixtureMember>& members, const std::string& comment = "");

}  // namespace bv::test
