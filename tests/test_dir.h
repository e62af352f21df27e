// A scratch folder for one test, removed afterwards, with helpers to run code
// inside it as the current directory.
#pragma once
#include <string>

namespace bv::test {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    // Makes the folder the current directory until destruction.
    void Enter();

private:
    std::string path_;
    std::string previous_;
};

std::string ReadHostFile(const std::string& path);

}  // namespace bv::test
