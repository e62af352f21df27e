// Writes the hostile archives and those the peers are compared on into a
// folder, one file each, as seeds for the fuzz target: zip_hostile_seeds FOLDER
#include <cstdio>
#include <fstream>

#include "tests/archive/agreement_fixtures.h"
#include "tests/archive/hostile_fixtures.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zip_hostile_seeds FOLDER\n");
        return 2;
    }
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream out(std::string(argv[1]) + "/" + name + ".zip", std::ios::binary);
        out << bytes;
        return static_cast<bool>(out);
    };
    for (const bv::test::HostileCase& c : bv::test::HostileCases())
        if (!write("hostile-" + c.what, c.bytes)) return 1;
    for (const bv::test::AgreementCase& c : bv::test::AgreementCases())
        if (!write("agreement-" + c.what, c.bytes)) return 1;
    return 0;
}
