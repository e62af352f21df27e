// Small archives made to hurt the reader: deep names, a member that is the
// archive itself, shared and overlapping bodies, device names, local names
// that differ from the directory's, members cut off by the end of the file,
// and (natively) members whose folders are links out of the destination. Each comes with what extracting it must leave behind. The hostile
// tests run them; the fuzz target takes them as seeds.
#pragma once
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace bv::test {

struct HostileFailure {
    int number;
    std::wstring part;  // a part of the failure message
};

struct HostileCase {
    std::string what;  // also the seed file's name
    std::string bytes;
    std::wstring archiveName = L"h.zip";
    // Extracted next to the archive instead of into the folder "out".
    bool intoArchiveFolder = false;
    // The failures extracting everything reports, in order.
    std::vector<HostileFailure> failures;
    // Exactly the files the destination holds afterwards ("/" separators),
    // with their contents, and how many folders.
    std::map<std::string, std::string> files;
    size_t folders = 0;
    // Members refused when their data is read (not only when extracted).
    bool readFails = false;
    // The scan dropped members.
    bool damaged = false;
    // Natively: symbolic links put into the destination before extracting
    // (their names, "/" separators), each to the folder that holds the
    // archive and the destination.
    std::vector<std::string> links;
};

std::vector<HostileCase> HostileCases();

// Test output names the case, not its bytes.
inline void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.what; }

}  // namespace bv::test
