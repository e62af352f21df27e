// The table of installable programs.
#include "app/programs.h"

namespace bv {

const std::vector<Program>& Programs() {
    static const BatchEntry zoded{L"zoded.___", L"ZODed.___"};
    static const BatchEntry zovozivu{L"zovozivu.___", L"ZOVozivu.___"};
    static const BatchEntry ruvuvevu{L"ruvuvevu.___", L"RUVuvevu.___"};
    static const std::vector<Program> programs = {
        {L"Bovista", {zoded}, L"ZODed.exe", L"Bovista 500"},
        {L"ZOVozivu", {zovozivu, ruvuvevu}, L"ZOVozivu.exe", L"BV Client"},
        {L"Bovista + ZOVozivu", {zoded, zovozivu, ruvuvevu}, L"ZODed.exe", L"Bovista 500"},
        {L"Bovista Consultant", {{L"bvcon.___", L"ZODed.___"}}, L"ZODed.exe", L"Bovista 500"},
        {L"Ranger", {{L"rangerwin.___", L"RangerWin.___"}}, L"RangerWin.exe", L"Ranger"},
        {L"Lumen", {{L"lumenwin.___", L"ZODed.___"}}, L"ZODed.exe", L"Bovista Lumen"},
    };
    return programs;
}

const Program* ProgramAt(int index) {
    const std::vector<Program>& programs = Programs();
    return index >= 0 && static_cast<size_t>(index) < programs.size() ? &programs[static_cast<size_t>(index)]
                                                                      : nullptr;
}

}  // namespace bv
