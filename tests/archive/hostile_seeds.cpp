// Writes the hostile archives into a folder, one file each, as seeds for the
// fuzz target: zip_hostile_seeds FOLDER
#include <cstdio>
#include <fstream>

#include "tests/archive/hostile_fixtures.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zip_hostile_seeds FOLDER\n");
        return 2;
    }
    for (const bv::test::HostileCase& c : bv::test::HostileCases()) {
        std::ofstream out(std::string(argv[1]) + "/hostile-" + c.what + ".zip", std::ios::binary);
        out << c.bytes;
        if (!out) return 1;
    }
    return 0;
}
