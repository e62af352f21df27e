// The hostile archives and what extracting them must leave behind.
#include "tests/archive/hostile_fixtures.h"

#include "archive/zip_archiver.h"
#include "tests/archive/zip_test_util.h"

namespace bv::test {
namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

FixtureMember Stored(const std::string& name, const std::string& plain) {
    FixtureMember m;
    m.name = name;
    m.plain = plain;
    return m;
}

// A stored local record, and the directory record that points at `offset`.
std::string LocalRecord(const std::string& name, const std::string& data) {
    return Le32(0x04034B50) + Le16(20) + Le16(0) + Le16(0) + Le16(0x6000) + Le16(0x5A21) +
           Le32(Crc32(data)) + Le32(uint32_t(data.size())) + Le32(uint32_t(data.size())) +
           Le16(uint32_t(name.size())) + Le16(0) + name + data;
}
std::string CentralRecord(const std::string& name, const std::string& data, uint32_t offset) {
    return Le32(0x02014B50) + Le16(20) + Le16(20) + Le16(0) + Le16(0) + Le16(0x6000) + Le16(0x5A21) +
           Le32(Crc32(data)) + Le32(uint32_t(data.size())) + Le32(uint32_t(data.size())) +
           Le16(uint32_t(name.size())) + Le16(0) + Le16(0) + Le16(0) + Le16(0) + Le32(0x20) +
           Le32(offset) + name;
}
std::string EndRecord(size_t count, size_t dirSize, size_t dirOffset) {
    return Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(uint32_t(count)) + Le16(uint32_t(count)) +
           Le32(uint32_t(dirSize)) + Le32(uint32_t(dirOffset)) + Le16(0);
}

std::wstring Quoted(const std::string& name) { return L"\"" + std::wstring(name.begin(), name.end()) + L"\""; }

}  // namespace

std::vector<HostileCase> HostileCases() {
    std::vector<HostileCase> cases;

    // Deep names: far beyond the path limit (refused before any folder is
    // made), and deep but within it (made without recursion).
    {
        HostileCase c;
        c.what = "deep-name";
        c.bytes = BuildZip({Stored(Repeat("a/", 20000) + "x.txt", "deep"), Stored("ok.txt", "ok")});
        c.failures = {{zeNameTooLong, L"\\a\\a\\x.txt\""}};
        c.files = {{"ok.txt", "ok"}};
        cases.push_back(c);
        c.what = "deep-name-that-fits";
        std::string name = Repeat("d/", 40) + "x.txt";
        c.bytes = BuildZip({Stored(name, "fits")});
        c.failures = {};
        c.files = {{name, "fits"}};
        c.folders = 40;
        cases.push_back(c);
    }
    // A member that is the archive itself, extracted into its own folder.
    {
        HostileCase c;
        c.what = "own-archive";
        c.archiveName = L"backup.zip";
        c.intoArchiveFolder = true;
        std::vector<FixtureMember> members = {Stored("other.txt", "other"), Stored("backup.zip", "evil")};
        c.failures = {{zeOwnArchive, L"\"backup.zip\""}};
#ifdef _WIN32
        // Windows names ignore letter case.
        members.push_back(Stored("BackUp.ZIP", "evil"));
        c.failures.push_back({zeOwnArchive, L"\"BackUp.ZIP\""});
#endif
        c.bytes = BuildZip(members);
        c.files = {{"other.txt", "other"}, {"backup.zip", c.bytes}};
        cases.push_back(c);
    }
    // Twenty directory entries on one body: only the first one writes it.
    {
        HostileCase c;
        c.what = "shared-body";
        std::string body = Repeat("shared body ", 1000);
        std::string local = LocalRecord("body.bin", body);
        std::string central = CentralRecord("body.bin", body, 0);
        for (int i = 1; i < 20; ++i) {
            std::string name = "copy" + std::to_string(100 + i).substr(1) + ".bin";
            central += CentralRecord(name, body, 0);
            c.failures.push_back({zeOverlap, Quoted(name)});
        }
        c.bytes = local + central + EndRecord(20, central.size(), local.size());
        c.files = {{"body.bin", body}};
        c.readFails = true;
        cases.push_back(c);
    }
    // A member whose whole record lies inside another member's data, and one
    // whose data runs into the directory.
    {
        HostileCase c;
        c.what = "overlapping-members";
        std::string inner = LocalRecord("inner.txt", "inner");
        std::string outer = LocalRecord("outer.bin", inner);
        std::string spill = LocalRecord("spill.txt", Repeat("s", 100));
        size_t spillAt = outer.size();
        // The spilling member claims 60 bytes more than it has.
        spill.replace(18, 4, Le32(160));
        std::string central = CentralRecord("outer.bin", inner, 0) +
                              CentralRecord("inner.txt", "inner", 30 + 9) +
                              CentralRecord("spill.txt", Repeat("s", 160), uint32_t(spillAt));
        c.bytes = outer + spill + central + EndRecord(3, central.size(), outer.size() + spill.size());
        c.failures = {{zeOverlap, L"\"inner.txt\""}, {zeOverlap, L"\"spill.txt\""}};
        c.files = {{"outer.bin", inner}};
        c.readFails = true;
        cases.push_back(c);
    }
    // Windows device names, in any folder, case, extension, with trailing
    // blanks and dots; names that only look like them are fine.
    {
        HostileCase c;
        c.what = "device-names";
        const char* devices[] = {"NUL", "con.txt", "sub/Aux.dat", "COM1", "lpt9.log", "PRN. ",
                                 "nul .txt", "CON...", "com5.tar.gz", "sub/conout$"};
        const char* fine[] = {"console.txt", "COM10.txt", "nullx", "auxiliary"};
        std::vector<FixtureMember> members;
        for (const char* d : devices) {
            members.push_back(Stored(d, "device"));
            c.failures.push_back({zeUnsafeName, Quoted(d)});
        }
        for (const char* f : fine) {
            members.push_back(Stored(f, f));
            c.files[f] = f;
        }
        c.bytes = BuildZip(members);
        cases.push_back(c);
    }
    // A local header that names another file than the directory does; one
    // that differs only by the UTF-8 flag is the same name.
    {
        HostileCase c;
        c.what = "local-name-differs";
        c.bytes = BuildZip({Stored("good.txt", "payload"), Stored("flag.txt", "flagged")});
        c.bytes.replace(30, 8, "evil.exe");
        size_t second = c.bytes.find("PK\x03\x04", 4);
        c.bytes[second + 7] = 0x08;  // flag bit 11 in the local header only
        c.failures = {{zeLocalName, L"\"good.txt\""}};
        c.files = {{"flag.txt", "flagged"}};
        c.readFails = true;
        cases.push_back(c);
    }
    // No directory: a member cut off by the end of the file, and one whose
    // data descriptor is missing.
    {
        HostileCase c;
        c.what = "cut-member";
        std::string full = BuildZip({Stored("first.txt", "first member"), Stored("second.txt", Repeat("2", 4000))});
        c.bytes = full.substr(0, full.find("second.txt") + 10 + 100);
        c.failures = {{zeCutMember, L"h.zip\" is damaged: member \"second.txt\" is cut off"}};
        c.files = {{"first.txt", "first member"}};
        c.readFails = true;
        c.damaged = true;
        cases.push_back(c);
        c.what = "missing-descriptor";
        FixtureMember streamed = Stored("streamed.txt", Repeat("stream ", 500));
        streamed.method = 8;
        streamed.descriptor = true;
        full = BuildZip({Stored("first.txt", "first member"), streamed});
        c.bytes = full.substr(0, full.find("PK\x07\x08"));
        c.failures = {{zeCutMember, L"h.zip\" is damaged: member \"streamed.txt\" is cut off"}};
        cases.push_back(c);
    }
#ifndef _WIN32
    // Links in the destination where members have their folders: written
    // through, the files would land beside the destination. The link and
    // the real folder holding one stay; nothing else is made.
    {
        HostileCase c;
        c.what = "folder-links";
        c.links = {"d", "e/f"};
        c.bytes = BuildZip({Stored("d/x.txt", "through a link"), Stored("e/f/y.txt", "through a nested link"),
                            Stored("d/sub/", ""), Stored("e/g/ok.txt", "ok")});
        c.failures = {{zeUnsafeName, L"\"d/x.txt\""}, {zeUnsafeName, L"\"e/f/y.txt\""},
                      {zeUnsafeName, L"\"d/sub/\""}};
        c.files = {{"d", "<link>"}, {"e/f", "<link>"}, {"e/g/ok.txt", "ok"}};
        c.folders = 2;
        cases.push_back(c);
    }
#endif
    return cases;
}

}  // namespace bv::test
