// Test fixtures written as hex: "00ff.." to the bytes it spells.
#pragma once
#include <string>

namespace bv::test {

inline std::string Bytes(const char* hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

}  // namespace bv::test
