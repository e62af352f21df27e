// Scratch folders for native tests.
#include "tests/test_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace bv::test {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/bvtest-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (!previous_.empty()) (void)chdir(previous_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void ScratchDir::Enter() {
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

std::string ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace bv::test
