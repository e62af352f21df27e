// Archive test helpers.
#include "tests/archive/zip_test_util.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "platform/fs.h"
#include "platform/os.h"

#ifdef _WIN32
#include <windows.h>

#include "tests/wine_util.h"
#else
#include <sys/wait.h>

#include <cstdlib>
#endif

namespace bv::test {
namespace {
std::atomic<int> g_counter{0};
}

ZipScratch::ZipScratch() {
    namespace sfs = std::filesystem;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    sfs::path dir = sfs::temp_directory_path() /
                    ("bvzip-" + std::to_string(stamp) + "-" + std::to_string(g_counter++));
    sfs::create_directories(dir);
    host_ = dir.string();
#ifdef _WIN32
    root_ = dir.wstring() + L"\\";
#else
    // Each scratch folder gets its own drive letter, so nested ones coexist.
    wchar_t letter = static_cast<wchar_t>(L'G' + g_counter.load() % 20);
    fs::MapDrive(letter, host_);
    root_ = std::wstring(1, letter) + L":\\";
#endif
}

ZipScratch::~ZipScratch() {
    std::error_code ec;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
    // Read-only files must be writable again before they can go.
    for (auto it = std::filesystem::recursive_directory_iterator(host_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(host_, ec);
}

void ZipScratch::Enter() {
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(host_);
}

std::string ReadAll(const std::wstring& path) {
    Result<std::string> bytes = fs::ReadFile(path);
    if (!bytes) throw std::runtime_error("cannot read " + os::ToUtf8(path));
    return bytes.value();
}

std::vector<std::wstring> Listing(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const fs::DirEntry& e : fs::ListDirectory(folder)) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

int RunProgram(const std::string& program, const std::vector<std::wstring>& args, const ZipScratch& dir,
               std::string& output) {
    std::wstring outFile = dir / L"program-output.txt";
#ifdef _WIN32
    std::wstring line = L"\"" + HostToWine(program) + L"\"";
    for (const std::wstring& a : args) line += L" \"" + a + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    DWORD code = 99;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 120000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
#else
    std::string command = program;
    for (const std::wstring& a : args) command += " '" + os::ToUtf8(a) + "'";
    int rc = std::system((command + " >'" + fs::HostPath(outFile) + "' 2>&1").c_str());
    int code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
    output = ReadAll(outFile);
    (void)fs::RemoveFile(outFile);
    return static_cast<int>(code);
}

std::wstring ArgPath(const ZipScratch& dir, const std::wstring& name) {
#ifdef _WIN32
    return dir / name;
#else
    return os::FromUtf8(dir.host() + "/" + os::ToUtf8(name));
#endif
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    if (!fs::WriteFile(path, bytes)) throw std::runtime_error("cannot write " + os::ToUtf8(path));
}

Answer ScriptedQuestions::AskPassword(const std::wstring& memberName, std::wstring& password) {
    passwordAsks.push_back(memberName);
    if (passwords.empty()) return Answer::Cancel;
    password = passwords.front();
    passwords.erase(passwords.begin());
    return Answer::Ok;
}

Answer ScriptedQuestions::AskFailure(const std::wstring& message, bool canRetry) {
    failureMessages.push_back(message);
    failureRetryOffered.push_back(canRetry);
    if (failures.empty()) return Answer::Ignore;
    Answer a = failures.front();
    failures.erase(failures.begin());
    return a;
}

std::string Deflate(const std::string& plain, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, plain.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t Crc32(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string Le16(uint32_t v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }
std::string Le64(uint64_t v) { return Le32(uint32_t(v)) + Le32(uint32_t(v >> 32)); }

std::string BuildZip(const std::vector<FixtureMember>& members, const std::string& comment) {
    std::string out, central;
    for (const FixtureMember& m : members) {
        std::string data = m.data ? *m.data : m.method == 8 ? Deflate(m.plain) : m.plain;
        uint32_t crc = m.crc.value_or(Crc32(m.plain));
        uint32_t csize = m.compressedSize.value_or(static_cast<uint32_t>(data.size()));
        uint32_t usize = m.uncompressedSize.value_or(static_cast<uint32_t>(m.plain.size()));
        uint16_t flags = static_cast<uint16_t>(m.flags | (m.descriptor ? 8 : 0));
        uint32_t offset = static_cast<uint32_t>(out.size());
        std::string fields = Le16(flags) + Le16(m.method) + Le16(m.time) + Le16(m.date);
        std::string sizes = Le32(crc) + Le32(csize) + Le32(usize);
        out += Le32(0x04034B50) + Le16(20) + fields + (m.descriptor ? std::string(12, '\0') : sizes) +
               Le16(static_cast<uint32_t>(m.name.size())) + Le16(static_cast<uint32_t>(m.extra.size())) +
               m.name + m.extra + data;
        if (m.descriptor) out += Le32(0x08074B50) + sizes;
        central += Le32(0x02014B50) + Le16(m.madeBy) + Le16(20) + fields + sizes +
                   Le16(static_cast<uint32_t>(m.name.size())) + Le16(static_cast<uint32_t>(m.extra.size())) +
                   Le16(0) + Le16(0) + Le16(0) + Le32(m.attributes) + Le32(offset) + m.name + m.extra;
    }
    uint32_t dirOffset = static_cast<uint32_t>(out.size());
    out += central;
    out += Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(static_cast<uint32_t>(members.size())) +
           Le16(static_cast<uint32_t>(members.size())) + Le32(static_cast<uint32_t>(central.size())) +
           Le32(dirOffset) + Le16(static_cast<uint32_t>(comment.size())) + comment;
    return out;
}

}  // namespace bv::test
