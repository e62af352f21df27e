// The programs the wizard installs: what the program page lists, the files
// each needs from the server, and the desktop shortcut it gets.
#pragma once
#include <string>
#include <vector>

namespace bv {

// One file of the download batch: its name on the server and in the
// installation folder.
struct BatchEntry {
    std::wstring remote;
    std::wstring local;
    friend bool operator==(const BatchEntry&, const BatchEntry&) = default;
};

struct Program {
    const wchar_t* label;  // its item on the program page
    std::vector<BatchEntry> files;
    const wchar_t* shortcutTarget;  // in the installation folder
    const wchar_t* shortcutName;
};

// In the order of the program page's items.
const std::vector<Program>& Programs();
// The program of the page's item `index`; nullptr when no item is chosen.
const Program* ProgramAt(int index);

}  // namespace bv
