// Small archives made byte by byte on which other ZIP tools and ours are
// compared: members made on Unix whose MS-DOS bits say nothing, directories
// that cannot be read (opened by the scan, and said to be damaged), and end
// records hidden in the archive comment. The reader tests run them through
// the component and bvzip; the interop tests through Info-ZIP unzip, 7-Zip
// and Python's zipfile.
#pragma once
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace bv::test {

struct AgreementMember {
    std::string name;  // as listed (a folder's may end in "/")
    std::string data;
    bool folder = false;
    bool readOnly = false;
};

struct AgreementCase {
    std::string what;
    std::string bytes;
    // Opened by the scan: the central directory could not be read.
    bool scanned = false;
    // What is listed and extracted, in this order.
    std::vector<AgreementMember> members;
    // The peers ("unzip", "7z", "zipfile") that agree: for a sound archive
    // they test it whole and list the same names; for a damaged directory
    // their test fails.
    std::set<std::string> peers;
};

std::vector<AgreementCase> AgreementCases();

inline void PrintTo(const AgreementCase& c, std::ostream* os) { *os << c.what; }

}  // namespace bv::test
