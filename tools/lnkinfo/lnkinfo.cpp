// Prints the target and working folder of shell links, read back through the
// shell's own link object: for the demo and for support staff.
#include <cstdio>
#include <string>

#include "platform/os.h"
#include "platform/shell.h"

int main() {
    std::vector<std::wstring> links = bv::os::CommandLineParameters();
    if (links.empty()) {
        std::fprintf(stderr, "usage: lnkinfo LINK.lnk...\n");
        return 2;
    }
    int status = 0;
    for (const std::wstring& link : links) {
        std::wstring target, workdir;
        if (!bv::shell::ReadShellLink(link, target, workdir)) {
            std::fprintf(stderr, "%s: not a readable shell link\n", bv::os::ToUtf8(link).c_str());
            status = 1;
            continue;
        }
        std::printf("%s\n  target:         %s\n  working folder: %s\n", bv::os::ToUtf8(link).c_str(),
                    bv::os::ToUtf8(target).c_str(), bv::os::ToUtf8(workdir).c_str());
    }
    return status;
}
