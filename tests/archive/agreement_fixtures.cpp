// The archives on which the peers and we are compared, and what each holds.
#include "tests/archive/agreement_fixtures.h"

#include <cstdint>

#include "tests/archive/zip_test_util.h"

namespace bv::test {
namespace {

const std::set<std::string> kAllPeers = {"unzip", "7z", "zipfile"};

FixtureMember Member(const std::string& name, const std::string& plain, uint16_t method, uint16_t madeBy,
                     uint32_t attributes) {
    FixtureMember m;
    m.name = name;
    m.plain = plain;
    m.method = method;
    m.madeBy = madeBy;
    m.attributes = attributes;
    return m;
}

// An end record (with a comment of `commentLength` bytes to follow).
std::string EndRecord(uint32_t entries, uint32_t dirSize, uint32_t dirOffset, uint32_t commentLength) {
    return Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(entries) + Le16(entries) + Le32(dirSize) +
           Le32(dirOffset) + Le16(commentLength);
}

std::string Zip64Locator(uint64_t endOffset) { return Le32(0x07064B50) + Le32(0) + Le64(endOffset) + Le32(1); }

// `zip` (an archive without comment) with a Zip64 end record and locator
// in front of its end record, whose fields then say "see Zip64", and
// `comment` after it.
std::string WithZip64End(const std::string& zip, const std::string& comment) {
    const std::string end = zip.substr(zip.size() - 22);
    auto field = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(end[at + static_cast<size_t>(i)]);
        return v;
    };
    const uint32_t entries = field(10, 2), dirSize = field(12, 4), dirOffset = field(16, 4);
    const std::string body = zip.substr(0, zip.size() - 22);
    const std::string record = Le32(0x06064B50) + Le64(44) + Le16(45) + Le16(45) + Le32(0) + Le32(0) +
                               Le64(entries) + Le64(entries) + Le64(dirSize) + Le64(dirOffset);
    return body + record + Zip64Locator(body.size()) +
           EndRecord(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, static_cast<uint32_t>(comment.size())) + comment;
}

// `zip` (an archive without comment) with `comment` as its comment.
std::string WithComment(const std::string& zip, const std::string& comment) {
    return zip.substr(0, zip.size() - 2) + Le16(static_cast<uint32_t>(comment.size())) + comment;
}

std::string Replace(std::string bytes, size_t at, const std::string& with) {
    bytes.replace(at, with.size(), with);
    return bytes;
}

}  // namespace

std::vector<AgreementCase> AgreementCases() {
    std::vector<AgreementCase> cases;
    const std::string alpha = "alpha alpha alpha alpha\n";
    std::string beta;
    for (int i = 0; i < 200; ++i) beta += "beta line " + std::to_string(i) + "\n";

    // Made on Unix (host 3): the type and the owner's write permission
    // come from the mode in the high 16 bits, whatever the MS-DOS bits say
    // (0xFFFF would make every member a hidden, read-only system folder).
    // Without a mode, and for other hosts, the MS-DOS bits count.
    {
        AgreementCase c;
        c.what = "unix-modes";
        c.bytes = BuildZip({
            Member("data.txt", alpha, 8, 0x0314, 0x81A4FFFF),    // rw-r--r-- file
            Member("readonly.txt", "keep me\n", 0, 0x0314, 0x8124FFFF),  // r--r--r-- file
            Member("folder/", "", 0, 0x0314, 0x41ED0010),        // rwxr-xr-x folder
            Member("typed-folder", "", 0, 0x0314, 0x41ED0000),   // a folder by its mode alone
            Member("no-mode.txt", "dos bits\n", 0, 0x0314, 0x00000020),
            Member("dos.txt", beta, 8, 0x0014, 0x00000020),
            Member("dos-folder", "", 0, 0x0014, 0x00000010),
        });
        c.members = {{"data.txt", alpha},           {"readonly.txt", "keep me\n", false, true},
                     {"folder/", "", true},          {"typed-folder", "", true},
                     {"no-mode.txt", "dos bits\n"},  {"dos.txt", beta},
                     {"dos-folder", "", true}};
        c.peers = kAllPeers;
        cases.push_back(c);
    }

    // A sound archive of two members, and the ways its directory gets
    // damaged: each is still opened, by the scan, and both members come
    // out whole.
    FixtureMember a = Member("a.txt", alpha, 0, 20, 0x20);
    FixtureMember b = Member("b.txt", beta, 8, 20, 0x20);
    const std::string good = BuildZip({a, b});
    const std::vector<AgreementMember> two = {{"a.txt", alpha}, {"b.txt", beta}};
    const size_t dir = good.find(std::string("PK\x01\x02", 4));
    const size_t end = good.size() - 22;
    const uint32_t dirSize = static_cast<uint32_t>(end - dir);
    {
        AgreementCase c;
        c.what = "sound";
        c.bytes = good;
        c.members = two;
        c.peers = kAllPeers;
        cases.push_back(c);
    }
    struct Damage {
        const char* what;
        std::string bytes;
    } damages[] = {
        {"directory-offset-before", Replace(good, end + 16, Le32(static_cast<uint32_t>(dir - 7)))},
        {"directory-offset-after", Replace(good, end + 16, Le32(static_cast<uint32_t>(dir + 7)))},
        {"directory-offset-zero", Replace(good, end + 16, Le32(0))},
        {"directory-size-larger", Replace(good, end + 12, Le32(dirSize + 5))},
        {"directory-size-smaller", Replace(good, end + 12, Le32(dirSize - 5))},
        {"directory-signature", Replace(good, dir, Le32(0x02014B51))},
        {"end-record-signature", Replace(good, end, Le32(0x06054B51))},
        {"gap-before-end-record", good.substr(0, end) + std::string(9, '\0') + good.substr(end)},
        {"truncated-in-directory", good.substr(0, dir + 20)},
        {"truncated-end-record", good.substr(0, good.size() - 5)},
    };
    for (const Damage& d : damages) {
        AgreementCase c;
        c.what = d.what;
        c.bytes = d.bytes;
        c.scanned = true;
        c.members = two;
        c.peers = kAllPeers;
        cases.push_back(c);
    }

    // End records hidden in the archive comment: each one's comment length
    // reaches exactly to the end of the file, so it is found first, and its
    // directory cannot be read; the archive's own end record before it is
    // then read. Info-ZIP unzip and Python's zipfile take the last end record
    // they find and fail; 7-Zip reads them as we do.
    const std::string zip64 = WithZip64End(good, "");
    const std::string hidden = "packed with notes: " + EndRecord(1, 46, 0, 0);
    const std::string hiddenWithText = EndRecord(1, 46, 0, 6) + "trails";
    const std::string hiddenZip64 = "inner: " + Zip64Locator(12345) + EndRecord(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0);
    {
        AgreementCase c;
        c.what = "zip64-end-record";
        c.bytes = zip64;
        c.members = two;
        c.peers = kAllPeers;
        cases.push_back(c);
    }
    struct Hidden {
        const char* what;
        std::string bytes;
    } hiddens[] = {
        {"comment-holds-end-record", WithComment(good, hidden)},
        {"comment-holds-end-record-and-text", WithComment(good, hiddenWithText)},
        {"comment-holds-zip64-end-record", WithComment(good, hiddenZip64)},
        {"zip64-comment-holds-end-record", WithZip64End(good, hidden)},
        {"zip64-comment-holds-zip64-end-record", WithZip64End(good, hiddenZip64)},
    };
    for (const Hidden& h : hiddens) {
        AgreementCase c;
        c.what = h.what;
        c.bytes = h.bytes;
        c.members = two;
        c.peers = {"7z"};
        cases.push_back(c);
    }
    // A comment that holds a whole archive: its end record is the last one
    // and its directory reads, but its offsets count from its own start,
    // where the archive's own first member lies. The archive is read.
    // (Info-ZIP unzip and Python's zipfile read the one in the comment.)
    {
        AgreementCase c;
        c.what = "comment-holds-an-archive";
        c.bytes = WithComment(good, BuildZip({Member("inner.txt", "inner\n", 0, 20, 0x20)}));
        c.members = two;
        c.peers = {"7z"};
        cases.push_back(c);
    }
    return cases;
}

}  // namespace bv::test
