// The ZIP component: directory reading, the damaged-archive scan, member
// data streaming with decryption and checks, extraction into files, and
// archive creation.
#include "archive/zip_archiver.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <cstring>
#include <cwchar>
#include <optional>

#include "archive/zip_crypto.h"
#include "archive/zip_records.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/strings.h"

namespace bv {
namespace {

using zip::Bytes;
using zip::Get32;
using zip::kLocalSig;
using zip::kZip64LocatorSig;
using zip::kEndSig;
using zip::Put16;
using zip::Put32;
using zip::Put64;

constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;
constexpr uint16_t kZip64Id = 0x0001;
constexpr uint16_t kUnicodeNameId = 0x554E;
constexpr uint16_t kUnicodePathId = 0x7075;  // Info-ZIP Unicode Path ("up")
constexpr uint16_t kAesId = 0x9901;
constexpr size_t kEndSearch = 65600;
constexpr size_t kReadChunk = 1 << 20;
constexpr uint32_t kFilterBits = fs::kAttrHidden | fs::kAttrSystem | fs::kAttrVolume | fs::kAttrDirectory;

std::wstring Upper(const std::wstring& s) { return os::UpperLocale(s); }


std::wstring ToBackslashes(std::wstring s) {
    std::replace(s.begin(), s.end(), L'/', L'\\');
    return s;
}

// Removes a leading drive ("C:") or share ("\\server\share\") from a path
// whose separators are `sep`.
std::wstring CutDrive(const std::wstring& s, wchar_t sep) {
    if (s.size() >= 2 && s[1] == L':') return s.substr(2);
    if (s.size() >= 2 && s[0] == sep && s[1] == sep) {
        size_t host = s.find(sep, 2);
        if (host == std::wstring::npos) return {};
        size_t share = s.find(sep, host + 1);
        return share == std::wstring::npos ? std::wstring() : s.substr(share);
    }
    return s;
}

// A path segment that Windows reads as a device (NUL, CON, AUX, PRN,
// COM1-COM9, LPT1-LPT9, and the console's own names), whatever the letter
// case, with or without an extension, and with the blanks and dots that
// Windows strips from the end of a name.
bool IsDeviceName(std::wstring segment) {
    while (!segment.empty() && (segment.back() == L' ' || segment.back() == L'.')) segment.pop_back();
    size_t dot = segment.find(L'.');
    if (dot != std::wstring::npos) segment.erase(dot);
    while (!segment.empty() && segment.back() == L' ') segment.pop_back();
    for (wchar_t& c : segment)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (segment == L"NUL" || segment == L"CON" || segment == L"AUX" || segment == L"PRN" ||
        segment == L"CONIN$" || segment == L"CONOUT$")
        return true;
    if (segment.size() != 4 || (segment.compare(0, 3, L"COM") != 0 && segment.compare(0, 3, L"LPT") != 0))
        return false;
    // The superscript digits one to three count as well.
    wchar_t d = segment[3];
    return (d >= L'1' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
}

// A member name that would put its file anywhere but below the extraction
// root: a drive, a share or a root-relative path, a ".." segment (also one
// that Windows would make ".." by stripping blanks and dots), or a device.
bool IsUnsafeName(const std::wstring& backslashed) {
    if (backslashed.empty()) return false;
    if (backslashed[0] == L'\\') return true;
    if (backslashed.find(L':') != std::wstring::npos) return true;
    for (wchar_t c : backslashed)
        if (static_cast<uint32_t>(c) < 0x20) return true;
    size_t start = 0;
    while (start <= backslashed.size()) {
        size_t end = backslashed.find(L'\\', start);
        if (end == std::wstring::npos) end = backslashed.size();
        std::wstring segment = backslashed.substr(start, end - start);
        if (segment.find(L"..") != std::wstring::npos &&
            segment.find_first_not_of(L". ") == std::wstring::npos)
            return true;
        if (IsDeviceName(segment)) return true;
        start = end + 1;
    }
    return false;
}

// Decodes a name as the directory entry asks. An OEM name goes through the
// ANSI code page only when that loses nothing; a name with characters the
// ANSI code page lacks (box drawing, Greek) keeps its OEM Unicode instead of
// becoming "?" or a best-fit look-alike.
std::wstring DecodeName(const std::string& raw, uint16_t flags, bool oem) {
    std::string bytes = raw;
    if (!(flags & 0x0800) && oem) {
        std::wstring text = os::FromOem(raw);
        bytes = os::ToAnsi(text);
        if (os::FromAnsi(bytes) != text) return text;
    }
    return os::IsValidUtf8(bytes) ? os::FromUtf8(bytes) : os::FromAnsi(bytes);
}

// The name of an Info-ZIP Unicode Path block (version 1, the CRC-32 of the
// header's name bytes, the name in UTF-8), or nothing when the block is of
// another version, was written for another name or is not UTF-8.
std::optional<std::wstring> UnicodePathName(const std::string& data, const std::string& rawName) {
    if (data.size() < 5 || static_cast<uint8_t>(data[0]) != 1) return std::nullopt;
    uint32_t stored = static_cast<uint8_t>(data[1]) | uint32_t(static_cast<uint8_t>(data[2])) << 8 |
                      uint32_t(static_cast<uint8_t>(data[3])) << 16 | uint32_t(static_cast<uint8_t>(data[4])) << 24;
    uint32_t actual = static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(rawName.data()), static_cast<uInt>(rawName.size())));
    std::string utf8 = data.substr(5);
    if (stored != actual || utf8.empty() || !os::IsValidUtf8(utf8)) return std::nullopt;
    return os::FromUtf8(utf8);
}

std::vector<ZipExtraBlock> ParseExtras(const std::string& raw) {
    std::vector<ZipExtraBlock> out;
    size_t pos = 0;
    while (pos + 4 <= raw.size()) {
        ZipExtraBlock b;
        b.id = static_cast<uint16_t>(uint8_t(raw[pos]) | (uint8_t(raw[pos + 1]) << 8));
        size_t size = uint8_t(raw[pos + 2]) | (size_t(uint8_t(raw[pos + 3])) << 8);
        pos += 4;
        size = std::min(size, raw.size() - pos);
        b.data = raw.substr(pos, size);
        pos += size;
        out.push_back(std::move(b));
    }
    return out;
}

std::string SerializeExtras(const std::vector<ZipExtraBlock>& extras) {
    std::string out;
    for (const ZipExtraBlock& b : extras) {
        Put16(out, b.id);
        Put16(out, static_cast<uint32_t>(b.data.size()));
        out += b.data;
    }
    return out;
}


}  // namespace

// zlib state that frees itself.
struct ZipArchiver::Inflater {
    z_stream z{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&z, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready) inflateEnd(&z);
    }
};
struct ZipArchiver::Deflater {
    z_stream z{};
    bool ready = false;
    explicit Deflater(int level) {
        ready = deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ready) deflateEnd(&z);
    }
};

// A member compressed ahead of its turn by a Packer thread: the whole of its
// deflated data, which the writer then encrypts (if asked) and writes.
struct ZipArchiver::Packed {
    uint64_t size = 0;  // bytes read from the source
    uint32_t crc = 0;
    std::string data;
};

namespace {

// Members up to this size are compressed in memory by the packer threads;
// larger ones are streamed by the writer itself when their turn comes.
constexpr uint64_t kPackLimit = 16u << 20;
// How far the worker threads run ahead of the writer, in bytes of the
// members they hold (besides the one the writer waits for).
constexpr uint64_t kAheadBudget = 64u << 20;

// The input block of the deflate stream: the same for the writer and the
// packers, so that both make the same bytes.
size_t DeflateChunk(int level) { return level <= 3 ? (512u << 10) : level >= 7 ? (1536u << 10) : (1u << 20); }

}  // namespace

// Compresses the members of one AddFiles call on worker threads, in the
// order they will be written, holding at most kAheadBudget bytes of members
// the writer has not taken yet (or the one it waits for): memory stays
// bounded whatever the members' sizes. What a
// worker could not do (a folder, an empty or large file, a read error) it
// leaves to the writer, which then takes the ordinary path and meets any
// failure itself, in order.
class ZipArchiver::Packer {
public:
    // `sources` with their sizes; "" for what is not to be packed.
    Packer(std::vector<std::pair<std::wstring, uint64_t>> sources, int level, unsigned threads)
        : sources_(std::move(sources)), level_(level) {
        for (auto& [path, size] : sources_)
            if (size == 0 || size > kPackLimit) path.clear();
        done_.resize(sources_.size());
        finished_.assign(sources_.size(), 0);
        for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
    }
    ~Packer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : workers_) t.join();
    }
    Packer(const Packer&) = delete;
    Packer& operator=(const Packer&) = delete;

    // Member `i`'s compressed data, or nullptr when the writer must do it.
    // Members are taken in increasing order.
    std::unique_ptr<Packed> Take(size_t i) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return finished_[i] != 0; });
        std::unique_ptr<Packed> p = std::move(done_[i]);
        taken_ = i + 1;
        held_ -= Weight(i);
        lock.unlock();
        changed_.notify_all();
        return p;
    }

    // Gives a member's buffers back once written: fresh buffers of
    // megabytes would cost a page fault for every page, member after member.
    void Return(std::unique_ptr<Packed> p) {
        if (!p) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (pool_.size() < kPoolSize) pool_.push_back(std::move(p));
    }

private:
    static constexpr size_t kPoolSize = 8;
    uint64_t Weight(size_t i) const { return sources_[i].first.empty() ? 0 : sources_[i].second; }

    void Work() {
        z_stream z{};
        bool ready = deflateInit2(&z, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        std::vector<uint8_t> in;
        std::unique_ptr<Packed> spare;
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || next_ >= sources_.size() || next_ == taken_ ||
                           held_ + Weight(next_) <= kAheadBudget;
                });
                if (stop_ || next_ >= sources_.size()) break;
                i = next_++;
                held_ += Weight(i);
                if (!sources_[i].first.empty() && !pool_.empty()) {
                    spare = std::move(pool_.back());
                    pool_.pop_back();
                }
            }
            std::unique_ptr<Packed> p;
            if (ready && !sources_[i].first.empty()) p = Pack(z, sources_[i].first, in, spare);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_[i] = std::move(p);
                finished_[i] = 1;
            }
            changed_.notify_all();
        }
        if (ready) deflateEnd(&z);
    }

    std::unique_ptr<Packed> Pack(z_stream& z, const std::wstring& source, std::vector<uint8_t>& in,
                                 std::unique_ptr<Packed>& spare) {
        fs::File src;
        if (!src.Open(source, fs::FileMode::Read)) return nullptr;
        Result<uint64_t> sized = src.Size();
        if (!sized) return nullptr;
        uint64_t size = sized.value();
        if (size == 0 || size > kPackLimit) return nullptr;
        // One byte more than the size tells a file that grew since.
        in.resize(static_cast<size_t>(size) + 1);
        Result<size_t> n = src.ReadFull(in.data(), in.size());
        if (!n || n.value() != size) return nullptr;
        if (deflateReset(&z) != Z_OK) return nullptr;
        std::unique_ptr<Packed> p = spare ? std::move(spare) : std::make_unique<Packed>();
        p->size = static_cast<uint64_t>(size);
        p->crc = static_cast<uint32_t>(crc32(0, in.data(), static_cast<uInt>(size)));
        p->data.resize(deflateBound(&z, static_cast<uLong>(size)) + 64);
        z.next_out = reinterpret_cast<Bytef*>(p->data.data());
        z.avail_out = static_cast<uInt>(p->data.size());
        const size_t chunk = DeflateChunk(level_);
        size_t at = 0;
        // The writer's sequence: each block without flushing, then the end.
        for (bool last = false; !last;) {
            size_t take = std::min(chunk, static_cast<size_t>(size) - at);
            last = take == 0;
            z.next_in = in.data() + at;
            z.avail_in = static_cast<uInt>(take);
            at += take;
            int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR || z.avail_in != 0 || (last && rc != Z_STREAM_END)) return nullptr;
        }
        p->data.resize(p->data.size() - z.avail_out);
        return p;
    }

    std::vector<std::pair<std::wstring, uint64_t>> sources_;
    const int level_;
    uint64_t held_ = 0;  // bytes of the members picked and not taken
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Packed>> done_;
    std::vector<std::unique_ptr<Packed>> pool_;
    std::vector<char> finished_;
    size_t next_ = 0;   // the next member a worker takes
    size_t taken_ = 0;  // members the writer has taken
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// Inflates, decrypts and checks the members one extraction chose on worker
// threads, each with its own handle on the archive, members of up to
// kPackLimit bytes and at most kAheadBudget bytes ahead of the writer: memory
// stays bounded. A worker asks nothing: what fails or needs another password
// it leaves to the writer, which then takes the ordinary path and meets the
// failure (and asks its questions) itself, in order.
class ZipArchiver::Unpacker {
public:
    Unpacker(const ZipArchiver& owner, std::vector<size_t> members, unsigned threads)
        : members_(std::move(members)), password_(owner.Password) {
        for (size_t k : members_) {
            const ZipEntry& e = owner.entries_[k];
            weights_.push_back(e.refusal || e.IsDirectory() || e.uncompressedSize > kPackLimit ? 0 : e.uncompressedSize);
        }
        done_.resize(members_.size());
        finished_.assign(members_.size(), 0);
        for (unsigned t = 0; t < threads; ++t) {
            // A reader of its own: the same directory, another file handle.
            auto r = std::make_unique<ZipArchiver>();
            r->FileName = owner.openPath_;
            r->Password = owner.Password;
            r->ExtractCorruptedFiles = owner.ExtractCorruptedFiles;
            r->Questions = &silent_;
            r->entries_ = owner.entries_;
            r->directoryStart_ = owner.directoryStart_;
            r->offsetBias_ = owner.offsetBias_;
            r->openPath_ = owner.openPath_;
            if (owner.file_.InMemory()) r->file_.OpenMemory(owner.file_.Memory());
            else if (!r->file_.Open(owner.openPath_, fs::FileMode::Read)) continue;
            r->mode_ = Mode::Reading;
            readers_.push_back(std::move(r));
        }
        for (auto& r : readers_) workers_.emplace_back([this, reader = r.get()] { Work(*reader); });
    }
    ~Unpacker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : workers_) t.join();
        crypto::Wipe(password_.data(), password_.size());
    }
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // The data of the k-th chosen member, or nullptr when the writer must
    // read it itself (also when the password changed since).
    std::unique_ptr<std::string> Take(size_t k, const std::string& password) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return finished_[k] != 0 || workers_.empty(); });
        std::unique_ptr<std::string> p = std::move(done_[k]);
        taken_ = k + 1;
        held_ -= weights_[k];
        lock.unlock();
        changed_.notify_all();
        if (password != password_) Return(std::move(p));
        return p;
    }

    // Gives a buffer back once written (see Packer::Return).
    void Return(std::unique_ptr<std::string> p) {
        if (!p) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (pool_.size() < 8) pool_.push_back(std::move(p));
    }

private:
    class Silent : public Questions {
    public:
        void ShowMessage(const std::wstring&) override {}
        void ShowError(const std::wstring&) override {}
        Answer AskPassword(const std::wstring&, std::wstring&) override { return Answer::Cancel; }
        Answer AskFailure(const std::wstring&, bool) override { return Answer::Ignore; }
    };

    void Work(ZipArchiver& reader) {
        for (;;) {
            size_t k;
            std::unique_ptr<std::string> data;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || next_ >= members_.size() || next_ == taken_ ||
                           held_ + weights_[next_] <= kAheadBudget;
                });
                if (stop_ || next_ >= members_.size()) break;
                k = next_++;
                held_ += weights_[k];
                if (weights_[k] > 0 && !pool_.empty()) {
                    data = std::move(pool_.back());
                    pool_.pop_back();
                }
            }
            if (weights_[k] > 0) {
                if (!data) data = std::make_unique<std::string>();
                data->clear();
                data->reserve(static_cast<size_t>(weights_[k]));
                try {
                    if (!reader.ReadMemberData(members_[k], [&](const uint8_t* p, size_t n) {
                            data->append(reinterpret_cast<const char*>(p), n);
                            return Result<void>();
                        }))
                        data.reset();
                } catch (const std::exception&) {
                    data.reset();
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_[k] = std::move(data);
                finished_[k] = 1;
            }
            changed_.notify_all();
        }
    }

    Silent silent_;
    std::vector<size_t> members_;
    std::vector<uint64_t> weights_;  // bytes held for each; 0: left to the writer
    uint64_t held_ = 0;
    std::string password_;
    std::vector<std::unique_ptr<ZipArchiver>> readers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<std::string>> done_;
    std::vector<std::unique_ptr<std::string>> pool_;
    std::vector<char> finished_;
    size_t next_ = 0;
    size_t taken_ = 0;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

std::wstring ZipErrorText(int number, const std::wstring& detail, const std::wstring& detail2) {
    switch (number) {
        case zeBadData: return L"Invalid size or check sum of file or unsupported compression format";
        case zeBlankFileName: return L"File name is blank. Specify appropriate file name";
        case zeFileNotFound: return L"File \"" + detail + L"\" not found";
        case zeNotOpen: return L"Archive is not open";
        case zeCreateFile: return L"Cannot create file \"" + detail + L"\"";
        case zeCreateDir: return L"Cannot create directory \"" + detail + L"\"";
        case zeReadOnlyArchive: return L"File is open in read-only mode";
        case zeOpenSource: return L"Cannot open file \"" + detail + L"\"";
        case zeInvalidArchive: return L"Invalid archive file.";
        case zeNoZip64End: return L"Cannot find Zip64 directory end record";
        case zeNeedsZip64: return L"Cannot compress file '" + detail + L"'. Zip64 mode is not enabled";
        case zeArchiveRead: return L"Cannot open archive file. Opening aborted or invalid file";
        case zeDamaged: return L"Archive is damaged. Open failed";
        case zeDeflate64: return L"Deflate64 compression method is not supported";
        case zeNameTooLong: return L"File name is too long: \r\n\"" + detail + L"\"";
        case zeDiskFull: return L"Disk is full. There is not enough free space on disk.";
        case zeUnsafeName:
            return L"Unsafe member name \"" + detail + L"\": it would be written outside the destination folder";
        case zeOwnArchive:
            return L"Unsafe member name \"" + detail + L"\": it would overwrite the archive being read";
        case zeOverlap:
            return L"Unsafe member \"" + detail + L"\": its data overlaps another member or the directory";
        case zeLocalName:
            return L"Unsafe member \"" + detail + L"\": its local header holds another name";
        case zeCutMember:
            return L"Archive \"" + detail + L"\" is damaged: " +
                   (detail2.empty() ? std::wstring(L"a member") : L"member \"" + detail2 + L"\"") +
                   L" is cut off";
        default: return L"Archive error";
    }
}

EZipError::EZipError(int number, const std::wstring& detail, uint32_t native)
    : number_(number), native_(native) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%05d", number);
    message_ = ZipErrorText(number, detail) + L" - Native error: " + digits;
}

EZipError::EZipError(int number, const std::wstring& detail, const std::wstring& detail2)
    : number_(number), native_(0) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%05d", number);
    message_ = ZipErrorText(number, detail, detail2) + L" - Native error: " + digits;
}

bool ZipEntry::IsDirectory() const {
    return (externalAttributes & fs::kAttrDirectory) != 0 ||
           (!name.empty() && (name.back() == L'/' || name.back() == L'\\'));
}

bool MemberMatchesMask(const std::wstring& mask, const std::wstring& storedName) {
    std::wstring m = mask;
    std::replace(m.begin(), m.end(), L'\\', L'/');
    m = CutDrive(m, L'/');
    while (!m.empty() && m[0] == L'/') m.erase(0, 1);
    size_t star = m.find(L"*.*");
    if (star != std::wstring::npos) m.replace(star, 3, L"*");
    if (m == L"*") return true;
    bool noExtension = false;
    if (!m.empty() && m.back() == L'.') {
        noExtension = true;
        m.pop_back();
    }
    std::wstring name = storedName;
    if (!name.empty() && (name.back() == L'/' || name.back() == L'\\')) name.pop_back();
    if (!name.empty() && name.back() == L'.') name.pop_back();
    std::wstring last = NameOf(name);
    if (noExtension && last.find(L'.') != std::wstring::npos) return false;
    return fs::MaskMatches(m, name) || fs::MaskMatches(m, last);
}

ZipArchiver::ZipArchiver() = default;

ZipArchiver::~ZipArchiver() {
    try {
        CloseArchive();
    } catch (const std::exception&) {
    }
    crypto::Wipe(Password.data(), Password.size());
}

bv::Questions& ZipArchiver::Ask() { return Questions ? *Questions : SystemQuestions(); }

void ZipArchiver::OpenArchive(uint16_t mode) { Open(mode, nullptr); }

void ZipArchiver::OpenArchiveFromMemory(std::string_view bytes) { Open(fmOpenRead, &bytes); }

void ZipArchiver::Open(uint16_t mode, const std::string_view* memory) {
    if (FileName.empty() && !memory) throw EZipError(zeBlankFileName);
    CloseArchive();
    updateDepth_ = 0;
    listings_.clear();
    entries_.clear();
    index_.clear();
    comment_.clear();
    scanned_ = false;
    damagedCount_ = 0;
    damaged_.clear();
    offsetBias_ = 0;
    directoryStart_ = 0;
    directoryWritten_ = false;
    openPath_ = FileName.empty() ? std::wstring() : fs::FullPath(FileName);
    if (mode == fmCreate) {
        Result<void> opened = file_.Open(FileName, fs::FileMode::Create);
        if (!opened) throw EZipError(zeCreateFile, FileName, opened.error().native);
        mode_ = Mode::Writing;
        return;
    }
    if (memory) {
        file_.OpenMemory(*memory);
    } else {
        if (!fs::IsRemovableDrive(openPath_) && !fs::FileExists(FileName))
            throw EZipError(zeFileNotFound, FileName);
        Result<void> opened = file_.Open(FileName, fs::FileMode::Read);
        if (!opened) throw EZipError(zeArchiveRead, FileName, opened.error().native);
    }
    mode_ = Mode::Reading;
    try {
        ReadDirectory();
    } catch (...) {
        (void)file_.Close();
        mode_ = Mode::Closed;
        entries_.clear();
        throw;
    }
    RebuildIndex();
}

void ZipArchiver::CloseArchive() {
    if (mode_ == Mode::Closed) return;
    Mode was = mode_;
    mode_ = Mode::Closed;
    if (was == Mode::Writing && !directoryWritten_) {
        mode_ = Mode::Writing;
        WriteDirectory();
        mode_ = Mode::Closed;
    }
    Result<void> closed = file_.Close();
    entries_.clear();
    index_.clear();
    if (!closed && was == Mode::Writing) throw EZipError(zeDiskFull, L"", closed.error().native);
}

void ZipArchiver::RebuildIndex() {
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_[Upper(entries_[i].name)] = i;
}

// Fills the 64-bit fields, the encryption kind and the name from the
// entry's fixed fields and extra blocks.
void ZipArchiver::FinishEntry(ZipEntry& e, bool central) {
    e.uncompressedSize = e.uncompressedSize32;
    e.compressedSize = e.compressedSize32;
    e.localHeaderOffset = e.localHeaderOffset32;
    e.diskStart = e.diskStart16;
    e.actualMethod = e.method;
    e.name = DecodeName(e.rawName, e.flags, Options.OEMFileNames);
    // Info-ZIP's Unicode Path first; the "NU" block below, our own, wins.
    for (const ZipExtraBlock& b : e.extras)
        if (b.id == kUnicodePathId)
            if (std::optional<std::wstring> unicode = UnicodePathName(b.data, e.rawName)) e.name = *unicode;
    for (const ZipExtraBlock& b : e.extras) {
        Bytes r(reinterpret_cast<const uint8_t*>(b.data.data()), b.data.size());
        if (b.id == kZip64Id) {
            if (e.uncompressedSize32 == 0xFFFFFFFF && r.left() >= 8) e.uncompressedSize = r.U64();
            if (e.compressedSize32 == 0xFFFFFFFF && r.left() >= 8) e.compressedSize = r.U64();
            if (central && e.localHeaderOffset32 == 0xFFFFFFFF && r.left() >= 8)
                e.localHeaderOffset = r.U64();
            if (central && e.diskStart16 == 0xFFFF && r.left() >= 4) e.diskStart = r.U32();
        } else if (b.id == kUnicodeNameId && b.data.size() >= 8 && b.data.compare(0, 4, "NUCX") == 0) {
            r.Str(4);
            uint32_t units = r.U32();
            size_t bytes = std::min<size_t>(static_cast<size_t>(units) * 2, b.data.size() - 8);
            e.name = os::FromUtf16Le(std::string_view(b.data).substr(8, bytes));
        } else if (b.id == kAesId && b.data.size() >= 7) {
            r.U16();
            r.U16();
            int strength = static_cast<uint8_t>(r.Str(1)[0]);
            uint16_t actual = r.U16();
            if ((e.flags & 1) && strength >= 1 && strength <= 3) {
                e.aesStrength = strength;
                e.actualMethod = actual;
                e.encryption = strength == 1   ? ZipEncryption::Aes128
                               : strength == 2 ? ZipEncryption::Aes192
                                               : ZipEncryption::Aes256;
            }
        }
    }
    if ((e.flags & 1) && e.encryption == ZipEncryption::None) e.encryption = ZipEncryption::Pkware;
}

void ZipArchiver::ReadDirectory() {
    Result<uint64_t> size = file_.Size();
    if (!size) throw EZipError(zeArchiveRead, FileName, size.error().native);
    if (ReadCentralDirectory(size.value())) return;
    if (!OpenCorruptedArchives) throw EZipError(zeDamaged);
    entries_.clear();
    comment_.clear();
    ScanLocalHeaders(size.value());
}

namespace {

// A window over the archive file, refilled in blocks: bytes [pos, pos + n)
// come from memory while the current block holds them, so a pass over many
// nearby records costs one read per block. The answer is valid until the
// next call; nullptr when the bytes run past the end or cannot be read
// (Failed() tells the two apart, Error() says why a read failed).
class BlockWindow {
public:
    BlockWindow(zip::Source& file, uint64_t fileSize, size_t blockSize)
        : file_(file), fileSize_(fileSize), blockSize_(blockSize) {}

    const uint8_t* At(uint64_t pos, size_t n) {
        if (pos > fileSize_ || n > fileSize_ - pos) return nullptr;
        if (pos >= start_ && pos + n <= start_ + block_.size()) return block_.data() + (pos - start_);
        size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(n, blockSize_), fileSize_ - pos));
        block_.resize(want);
        Result<void> read = file_.ReadAt(pos, block_.data(), want);
        if (!read) {
            block_.clear();
            failed_ = true;
            error_ = read.error().native;
            return nullptr;
        }
        start_ = pos;
        return block_.data();
    }
    // The bytes from pos to the end of the current block, refilled at pos
    // unless it already holds at least `minimum` of them; nullptr as At.
    const uint8_t* Ahead(uint64_t pos, size_t minimum, size_t& avail) {
        bool held = pos >= start_ && pos + minimum <= start_ + block_.size();
        if (!held && !At(pos, static_cast<size_t>(std::min<uint64_t>(blockSize_, fileSize_ - pos)))) return nullptr;
        avail = static_cast<size_t>(start_ + block_.size() - pos);
        return block_.data() + (pos - start_);
    }
    bool Failed() const { return failed_; }
    uint32_t Error() const { return error_; }

private:
    zip::Source& file_;
    const uint64_t fileSize_;
    const size_t blockSize_;
    std::vector<uint8_t> block_;
    uint64_t start_ = 0;
    bool failed_ = false;
    uint32_t error_ = 0;
};


// The fields a directory record and a local header share, from the version
// needed to the extra field's length.
void GetSharedHeaderFields(Bytes& r, ZipEntry& e) {
    e.versionNeeded = r.U16();
    e.flags = r.U16();
    e.method = r.U16();
    e.modTime = r.U16();
    e.modDate = r.U16();
    e.crc32 = r.U32();
    e.compressedSize32 = r.U32();
    e.uncompressedSize32 = r.U32();
    e.nameLength = r.U16();
    e.extraLength = r.U16();
}

}  // namespace

bool ZipArchiver::ReadCentralDirectory(uint64_t fileSize) {
    size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fileSize, kEndSearch));
    std::vector<uint8_t> tail(tailSize);
    uint64_t tailStart = fileSize - tailSize;
    Result<void> tailRead = file_.ReadAt(tailStart, tail.data(), tailSize);
    if (!tailRead) throw EZipError(zeArchiveRead, FileName, tailRead.error().native);
    int64_t endPos = -1;
    for (int64_t i = static_cast<int64_t>(tailSize) - 22; i >= 0; --i) {
        const uint8_t* p = tail.data() + i;
        if (Get32(p) != kEndSig) continue;
        size_t commentLength = p[20] | (size_t(p[21]) << 8);
        if (commentLength == tailSize - static_cast<size_t>(i) - 22) {
            endPos = i;
            break;
        }
    }
    if (endPos < 0) return false;
    Bytes end(tail.data() + endPos, tailSize - static_cast<size_t>(endPos));
    zip::EndRecord endRecord;
    zip::Read(end, endRecord);
    uint64_t total = endRecord.entries;
    uint64_t dirSize = endRecord.directorySize;
    uint64_t dirOffset = endRecord.directoryOffset;
    comment_ = std::move(endRecord.comment);
    uint64_t dirEnd = tailStart + static_cast<uint64_t>(endPos);

    if (endPos >= 20 && Get32(tail.data() + endPos - 20) == kZip64LocatorSig) {
        Bytes loc(tail.data() + endPos - 20, zip::Zip64Locator::kSize);
        zip::Zip64Locator locator;
        zip::Read(loc, locator);
        uint64_t z64 = locator.endOffset;
        uint8_t rec[zip::Zip64EndRecord::kSize];
        Bytes r(rec, sizeof rec);
        zip::Zip64EndRecord z64End;
        if (z64 > fileSize - sizeof rec || fileSize < sizeof rec || !file_.ReadAt(z64, rec, sizeof rec) ||
            !zip::Read(r, z64End))
            throw EZipError(zeNoZip64End);
        total = z64End.entries;
        dirSize = z64End.directorySize;
        dirOffset = z64End.directoryOffset;
        dirEnd = z64;
    } else if (total == 0xFFFF) {
        return false;
    }
    if (dirSize > dirEnd) return false;
    uint64_t dirStart = dirEnd - dirSize;
    if (total > dirSize / 46) return false;
    std::vector<uint8_t> dir(static_cast<size_t>(dirSize));
    if (!file_.ReadAt(dirStart, dir.data(), dir.size())) return false;
    Bytes r(dir.data(), dir.size());
    std::vector<ZipEntry> entries;
    entries.reserve(static_cast<size_t>(total));
    for (uint64_t i = 0; i < total; ++i) {
        ZipEntry e;
        e.signature = r.U32();
        if (!r.ok() || e.signature != kCentralSig) return false;
        e.versionMadeBy = r.U16();
        GetSharedHeaderFields(r, e);
        e.commentLength = r.U16();
        e.diskStart16 = r.U16();
        e.internalAttributes = r.U16();
        e.externalAttributes = r.U32();
        e.localHeaderOffset32 = r.U32();
        e.rawName = r.Str(e.nameLength);
        e.extras = ParseExtras(r.Str(e.extraLength));
        e.comment = r.Str(e.commentLength);
        if (!r.ok()) return false;
        FinishEntry(e, true);
        entries.push_back(std::move(e));
    }
    entries_ = std::move(entries);
    directoryStart_ = dirStart;
    offsetBias_ = static_cast<int64_t>(dirStart - std::min(dirOffset, dirStart));
    CheckMembers(dirStart, dirEnd, fileSize);
    return true;
}

// Reads every member's local header once, in offset order. A member whose
// header and data overlap those of a member that starts before it (or at
// the same place with an earlier directory entry), or reach into the central
// directory, is refused: its bytes belong to another member, and archives made of
// shared bodies would otherwise write the same data again and again. A
// member whose local header holds another name than its directory record
// is refused too, unless both decode to the same name.
void ZipArchiver::CheckMembers(uint64_t dirStart, uint64_t dirEnd, uint64_t fileSize) {
    BlockWindow window(file_, fileSize, 64 * 1024);
    auto at = [&](uint64_t pos, size_t n) { return window.At(pos, n); };
    std::vector<size_t> order(entries_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::tie(entries_[a].localHeaderOffset, a) < std::tie(entries_[b].localHeaderOffset, b);
    });
    struct Range {
        uint64_t start, end;
        size_t index;
    };
    std::vector<Range> ranges;
    ranges.reserve(entries_.size());
    for (size_t i : order) {
        ZipEntry& e = entries_[i];
        uint64_t pos = e.localHeaderOffset;
        const uint8_t* h = at(pos, 30);
        if ((!h || Get32(h) != kLocalSig) && offsetBias_ != 0) {
            pos += static_cast<uint64_t>(offsetBias_);
            h = at(pos, 30);
        }
        // No header: reading the member fails, as it always did.
        zip::LocalHeader header;
        Bytes hr(h, h ? zip::LocalHeader::kSize : 0);
        if (!h || !zip::Read(hr, header)) continue;
        uint16_t flags = header.flags;
        size_t nameLength = header.nameLength;
        size_t extraLength = header.extraLength;
        uint64_t dataStart = pos + 30 + nameLength + extraLength;
        uint64_t end = e.compressedSize > UINT64_MAX - dataStart ? UINT64_MAX : dataStart + e.compressedSize;
        ranges.push_back({pos, end, i});
        const uint8_t* n = at(pos + 30, nameLength + extraLength);
        if (!n) continue;
        std::string localName(reinterpret_cast<const char*>(n), nameLength);
        if (localName == e.rawName) continue;
        // The same name in another encoding is no other name.
        ZipEntry local;
        local.flags = flags;
        local.rawName = std::move(localName);
        local.extras = ParseExtras(std::string(reinterpret_cast<const char*>(n) + nameLength, extraLength));
        FinishEntry(local, false);
        if (local.name != e.name) e.refusal = zeLocalName;
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
        return std::tie(a.start, a.index) < std::tie(b.start, b.index);
    });
    uint64_t reach = 0;  // where the members kept so far end
    for (const Range& r : ranges) {
        if (r.start < reach || (r.end > dirStart && r.start < dirEnd)) {
            entries_[r.index].refusal = zeOverlap;
            continue;
        }
        reach = std::max(reach, r.end);
    }
}

EZipError ZipArchiver::Refusal(const ZipEntry& e) const { return EZipError(e.refusal, e.name); }

std::vector<EZipError> ZipArchiver::Damage() const {
    std::vector<EZipError> out;
    for (const std::wstring& name : damaged_) out.emplace_back(zeCutMember, FileName, name);
    return out;
}

// Rebuilds the member list from the local headers, front to back. Members
// written with a data descriptor take CRC and sizes from the descriptor
// whose compressed size matches the distance from the data's start. A
// member cut off by the end of the file, or whose descriptor is nowhere, is
// dropped and recorded as damage.
void ZipArchiver::ScanLocalHeaders(uint64_t fileSize) {
    // The file is read front to back in large blocks, and headers, names and
    // descriptors are taken from the block in memory: a file full of
    // signatures costs one read per block, not one per candidate.
    BlockWindow window(file_, fileSize, size_t{1} << 20);
    // A read error ends the scan; bytes past the end are simply absent.
    auto at = [&](uint64_t pos, size_t n) {
        const uint8_t* p = window.At(pos, n);
        if (!p && window.Failed()) throw EZipError(zeArchiveRead, FileName, window.Error());
        return p;
    };
    auto findSig = [&](uint64_t from, uint32_t sig) -> int64_t {
        while (from + 4 <= fileSize) {
            size_t avail = 0;
            const uint8_t* p = window.Ahead(from, 4, avail);
            if (!p) throw EZipError(zeArchiveRead, FileName, window.Error());
            for (size_t i = 0; i + 4 <= avail; ++i) {
                const void* hit = std::memchr(p + i, 'P', avail - 3 - i);
                if (!hit) break;
                i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
                if (Get32(p + i) == sig) return static_cast<int64_t>(from + i);
            }
            from += avail - 3;
        }
        return -1;
    };
    // Every data descriptor in the file, found in one pass when the first
    // member that needs one turns up, and indexed by the data start its
    // compressed size points back to. Searching forward from each header
    // instead would read the rest of the file once per header.
    struct Descriptor {
        uint64_t dataStart, pos;
        bool zip64;
        uint32_t crc;
        uint64_t csize, usize;
        bool operator<(const Descriptor& o) const {
            return std::tie(dataStart, zip64, pos) < std::tie(o.dataStart, o.zip64, o.pos);
        }
    };
    std::vector<Descriptor> descriptors;
    bool indexed = false;
    auto indexDescriptors = [&] {
        indexed = true;
        // A crafted file could be nothing but signatures: the index is capped.
        constexpr size_t kMaxDescriptors = size_t{1} << 20;
        for (int64_t d = findSig(0, kDescriptorSig); d >= 0 && descriptors.size() < kMaxDescriptors;
             d = findSig(static_cast<uint64_t>(d) + 1, kDescriptorSig)) {
            uint64_t dpos = static_cast<uint64_t>(d);
            size_t have = static_cast<size_t>(std::min<uint64_t>(24, fileSize - dpos));
            if (have < 16) continue;
            uint8_t desc[24];
            std::memcpy(desc, at(dpos, have), have);
            uint32_t crc = Get32(desc + 4);
            uint64_t c32 = Get32(desc + 8), u32 = Get32(desc + 12);
            if (c32 <= dpos) descriptors.push_back({dpos - c32, dpos, false, crc, c32, u32});
            if (have == 24) {
                Bytes wide(desc + 8, 16);
                uint64_t c64 = wide.U64(), u64 = wide.U64();
                if (c64 <= dpos) descriptors.push_back({dpos - c64, dpos, true, crc, c64, u64});
            }
        }
        std::sort(descriptors.begin(), descriptors.end());
    };
    // Records a dropped member, by name while the list is short.
    constexpr size_t kMaxDamageNames = 64;
    auto damaged = [&](uint64_t header, uint16_t flags, size_t nameLength) {
        ++damagedCount_;
        if (damaged_.size() >= kMaxDamageNames) return;
        ZipEntry d;
        if (const uint8_t* n = at(header + 30, nameLength)) {
            d.flags = flags;
            d.rawName.assign(reinterpret_cast<const char*>(n), nameLength);
            FinishEntry(d, false);
        }
        damaged_.push_back(d.name);
    };

    uint64_t pos = 0;
    std::vector<ZipEntry> entries;
    for (;;) {
        int64_t found = findSig(pos, kLocalSig);
        if (found < 0) break;
        uint64_t at0 = static_cast<uint64_t>(found);
        pos = at0 + 4;
        const uint8_t* h = at(at0, 30);
        if (!h) {
            damaged(at0, 0, 0);
            continue;
        }
        Bytes r(h, 30);
        ZipEntry e;
        r.U32();
        GetSharedHeaderFields(r, e);
        e.versionMadeBy = e.versionNeeded;
        uint64_t dataStart = at0 + 30 + e.nameLength + e.extraLength;
        // Sizes that run past the end are seen before the name and extra
        // field are copied; only a saturated size needs the Zip64 field.
        if (dataStart > fileSize ||
            (!(e.flags & 8) && e.compressedSize32 != 0xFFFFFFFF && e.compressedSize32 > fileSize - dataStart)) {
            damaged(at0, e.flags, e.nameLength);
            continue;
        }
        const uint8_t* nameExtra = at(at0 + 30, static_cast<size_t>(e.nameLength) + e.extraLength);
        e.rawName.assign(reinterpret_cast<const char*>(nameExtra), e.nameLength);
        e.extras = ParseExtras(std::string(reinterpret_cast<const char*>(nameExtra) + e.nameLength, e.extraLength));
        e.localHeaderOffset32 = static_cast<uint32_t>(std::min<uint64_t>(at0, 0xFFFFFFFF));
        FinishEntry(e, false);
        e.localHeaderOffset = at0;
        bool zip64 = std::any_of(e.extras.begin(), e.extras.end(),
                                 [](const ZipExtraBlock& b) { return b.id == kZip64Id; });
        uint64_t dataEnd;
        if (e.flags & 8) {
            if (!indexed) indexDescriptors();
            // The first descriptor after the data whose size fits it.
            auto it = std::lower_bound(descriptors.begin(), descriptors.end(),
                                       Descriptor{dataStart, 0, zip64, 0, 0, 0});
            if (it == descriptors.end() || it->dataStart != dataStart || it->zip64 != zip64) {
                damaged(at0, e.flags, e.nameLength);
                continue;
            }
            e.crc32 = it->crc;
            e.compressedSize = it->csize;
            e.uncompressedSize = it->usize;
            e.compressedSize32 = static_cast<uint32_t>(std::min<uint64_t>(it->csize, 0xFFFFFFFF));
            e.uncompressedSize32 = static_cast<uint32_t>(std::min<uint64_t>(it->usize, 0xFFFFFFFF));
            dataEnd = it->pos + (zip64 ? 24 : 16);
        } else {
            if (e.compressedSize > fileSize - dataStart) {
                damaged(at0, e.flags, e.nameLength);
                continue;
            }
            dataEnd = dataStart + e.compressedSize;
        }
        e.nameLength = static_cast<uint16_t>(e.rawName.size());
        e.extraLength = static_cast<uint16_t>(SerializeExtras(e.extras).size());
        entries.push_back(std::move(e));
        pos = dataEnd;
    }
    if (entries.empty()) throw EZipError(zeInvalidArchive);
    entries_ = std::move(entries);
    directoryStart_ = fileSize;
    offsetBias_ = 0;
    scanned_ = true;
}

bool ZipArchiver::ReadMemberData(size_t index, const Sink& sink) {
    if (mode_ != Mode::Reading) throw EZipError(zeNotOpen);
    const ZipEntry& e = entries_.at(index);
    if (e.refusal) throw Refusal(e);
    if (e.actualMethod == 9) throw EZipError(zeDeflate64);
    if (e.actualMethod != 0 && e.actualMethod != 8) throw EZipError(zeBadData);

    // The local header: at the recorded offset, or shifted by the foreign
    // data found in front of the archive.
    uint8_t h[30];
    uint64_t at = e.localHeaderOffset;
    auto headerAt = [&](uint64_t pos) {
        return file_.ReadAt(pos, h, 30) && Get32(h) == kLocalSig;
    };
    if (!headerAt(at)) {
        if (offsetBias_ == 0 || !headerAt(at + static_cast<uint64_t>(offsetBias_)))
            throw EZipError(zeBadData);
        at += static_cast<uint64_t>(offsetBias_);
    }
    uint64_t dataStart = at + 30 + (h[26] | (uint32_t(h[27]) << 8)) + (h[28] | (uint32_t(h[29]) << 8));
    uint64_t remaining = e.compressedSize;
    if (dataStart >= directoryStart_) remaining = 0;
    else if (remaining > directoryStart_ - dataStart) remaining = directoryStart_ - dataStart;
    Result<void> sought = file_.Seek(dataStart);
    if (!sought) throw EZipError(zeArchiveRead, FileName, sought.error().native);

    auto readExact = [&](uint8_t* p, size_t n) {
        Result<size_t> got = file_.ReadFull(p, n);
        if (!got) throw EZipError(zeArchiveRead, FileName, got.error().native);
        if (got.value() != n) throw EZipError(zeBadData);
    };
    auto prompt = [&]() {
        std::wstring typed;
        bool ok = Ask().AskPassword(e.name, typed) == Answer::Ok;
        if (ok) {
            crypto::Wipe(Password.data(), Password.size());
            Password = os::ToAnsi(typed);
        }
        for (wchar_t& c : typed) c = 0;
        return ok;
    };

    zip::PkwareCipher pkware;
    bool isAes = e.encryption != ZipEncryption::None && e.encryption != ZipEncryption::Pkware;
    if (e.encryption == ZipEncryption::Pkware) {
        if (remaining < 12) throw EZipError(zeBadData);
        uint8_t header[12];
        readExact(header, 12);
        remaining -= 12;
        uint8_t check = (e.flags & 8) ? static_cast<uint8_t>(e.modTime >> 8)
                                      : static_cast<uint8_t>(e.crc32 >> 24);
        while (!pkware.TestHeader(Password, header, check))
            if (!prompt()) return false;
    } else if (isAes) {
        size_t saltLength = zip::AesSaltLength(e.aesStrength);
        size_t overhead = saltLength + zip::kAesVerifierLength + zip::kAesCodeLength;
        if (remaining < overhead) throw EZipError(zeBadData);
        uint8_t salt[16], stored[2], derived[2];
        readExact(salt, saltLength);
        readExact(stored, 2);
        remaining -= overhead;
        // Kept between members, like the inflate state: its cipher and HMAC
        // contexts are re-keyed, not made anew for every member.
        if (!aes_) aes_ = std::make_unique<zip::AesCipher>();
        for (;;) {
            if (!aes_->Init(Password, e.aesStrength, salt, derived)) throw EZipError(zeBadData);
            if (derived[0] == stored[0] && derived[1] == stored[1]) break;
            if (!prompt()) return false;
        }
    }

    const bool deflated = e.actualMethod == 8;
    // Buffers and the inflate state are kept between members: archives of
    // many small members would otherwise spend their time allocating.
    const size_t inSize = static_cast<size_t>(std::min<uint64_t>(remaining, kReadChunk));
    if (inBuf_.size() < inSize) inBuf_.resize(inSize);
    // Inflated data goes out in blocks of up to 1 MiB; a small member needs
    // no megabyte of space (whose allocation would cost more than its data).
    const size_t outSize =
        static_cast<size_t>(std::clamp<uint64_t>(e.uncompressedSize, uint64_t{64} << 10, kReadChunk));
    if (deflated && outBuf_.size() < outSize) outBuf_.resize(outSize);
    uint8_t* const in = inBuf_.data();
    uint8_t* const out = outBuf_.data();
    if (deflated) {
        if (!inflater_) inflater_ = std::make_unique<Inflater>();
        else if (inflateReset(&inflater_->z) != Z_OK) inflater_->ready = false;
        if (!inflater_->ready) {
            inflater_.reset();
            throw EZipError(zeBadData);
        }
    }
    Inflater* inflater = inflater_.get();
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t produced = 0;
    bool bad = false, ended = !deflated;
    // Hands produced bytes on, never more than the recorded size: a header
    // that lies about the size cannot make us write without end.
    auto emit = [&](const uint8_t* p, size_t n) {
        if (n > e.uncompressedSize - produced) {
            n = static_cast<size_t>(e.uncompressedSize - produced);
            bad = true;
        }
        if (n == 0) return;
        // AES members are checked by their authentication code alone.
        if (!isAes) crc = static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(n)));
        produced += n;
        Result<void> taken = sink(p, n);
        if (!taken) throw EZipError(zeDiskFull, L"", taken.error().native);
    };
    while (remaining > 0 && !bad) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, inSize));
        readExact(in, n);
        remaining -= n;
        if (e.encryption == ZipEncryption::Pkware) pkware.Decrypt(in, n);
        else if (isAes && !aes_->Decrypt(in, n)) throw EZipError(zeBadData);
        if (!deflated) {
            emit(in, n);
            continue;
        }
        if (ended) continue;  // AES: the rest is still authenticated
        inflater->z.next_in = in;
        inflater->z.avail_in = static_cast<uInt>(n);
        while (!bad && !ended) {
            inflater->z.next_out = out;
            inflater->z.avail_out = static_cast<uInt>(outSize);
            int rc = inflate(&inflater->z, Z_NO_FLUSH);
            emit(out, outSize - inflater->z.avail_out);
            if (rc == Z_STREAM_END) {
                ended = true;
            } else if (rc == Z_BUF_ERROR || (rc == Z_OK && inflater->z.avail_in == 0 && inflater->z.avail_out != 0)) {
                if (inflater->z.avail_in == 0) break;
                bad = true;
            } else if (rc != Z_OK) {
                bad = true;
            }
        }
        if (ended && !isAes) break;
    }
    if (isAes && !bad) {
        uint8_t stored[zip::kAesCodeLength], computed[zip::kAesCodeLength];
        // The code follows the data directly; the file stands there now.
        Result<size_t> got = file_.ReadFull(stored, sizeof stored);
        if (!got || got.value() != sizeof stored || !aes_->Code(computed) ||
            std::memcmp(stored, computed, sizeof stored) != 0)
            bad = true;
    }
    if (!ended) bad = true;
    if (produced != e.uncompressedSize) bad = true;
    if (!isAes && crc != e.crc32) bad = true;
    if (bad && !ExtractCorruptedFiles) throw EZipError(zeBadData);
    return true;
}

Answer ZipArchiver::AskAboutFailure(const EZipError& err) {
    // A name that is too long or unsafe, or a member refused for its place
    // in the archive, stays so: trying again cannot help.
    const int n = err.number();
    bool canRetry = n != zeNameTooLong && n != zeUnsafeName && n != zeOwnArchive && n != zeOverlap &&
                    n != zeLocalName && n != zeCutMember;
    std::wstring text = err.message();
    if (canRetry) text += L". File processing error, possibly disk is full";
    return Ask().AskFailure(text, canRetry);
}

void ZipArchiver::ExtractFiles(const std::wstring& mask, uint32_t searchAttr,
                               const std::wstring& excludeMask) {
    if (mode_ != Mode::Reading) throw EZipError(zeNotOpen);
    walkedFolder_.clear();
    std::vector<size_t> chosen;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const ZipEntry& e = entries_[i];
        if (!MemberMatchesMask(mask, e.name)) continue;
        if ((e.externalAttributes & kFilterBits) & ~searchAttr) continue;
        if (!excludeMask.empty() && MemberMatchesMask(excludeMask, e.name)) continue;
        chosen.push_back(i);
    }
    std::unique_ptr<Unpacker> unpacker;
    if (Threads > 1 && chosen.size() > 1) unpacker = std::make_unique<Unpacker>(*this, chosen, Threads);
    for (size_t k = 0; k < chosen.size(); ++k) {
        const size_t i = chosen[k];
        const ZipEntry& e = entries_[i];
        std::unique_ptr<std::string> unpacked = unpacker ? unpacker->Take(k, Password) : nullptr;
        for (;;) {
            try {
                ExtractOne(e, i, unpacked.get());
                if (unpacker) unpacker->Return(std::move(unpacked));
                break;
            } catch (const EZipError& err) {
                // A retry reads the member again.
                if (unpacker) unpacker->Return(std::move(unpacked));
                if (err.number() == zeArchiveRead) return;
                Answer a = AskAboutFailure(err);
                if (a == Answer::Abort) return;
                if (a == Answer::Ignore) break;
            }
        }
    }
    unpacker.reset();
    // Members the scan had to drop are failures of this mask too.
    for (const std::wstring& name : damaged_) {
        if (!MemberMatchesMask(mask, name)) continue;
        if (!excludeMask.empty() && !name.empty() && MemberMatchesMask(excludeMask, name)) continue;
        if (AskAboutFailure(EZipError(zeCutMember, FileName, name)) == Answer::Abort) return;
    }
}

void ZipArchiver::ExtractOne(const ZipEntry& e, size_t index, const std::string* unpacked) {
    if (e.refusal) throw Refusal(e);
    std::wstring name = ToBackslashes(e.name);
    if (IsUnsafeName(name)) throw EZipError(zeUnsafeName, e.name);
    std::wstring root = BaseDir.empty() ? std::wstring() : AddBackslash(BaseDir);
    std::wstring target = root + name;
    bool directory = e.IsDirectory();
    // The member's folders below the destination ("" for none).
    std::wstring relative = DropTrailingBackslash(directory ? name : FolderOf(name));
    // Refused before anything is created: a path the system cannot take
    // (a folder has 12 characters less room than a file), and the archive
    // that is being read.
    if (fs::PathTooLong(fs::FullPath(target)) ||
        (!relative.empty() && fs::PathTooLong(fs::FullPath(root + relative), true)))
        throw EZipError(zeNameTooLong, target);
    if (!openPath_.empty() && fs::SameFile(target, openPath_)) throw EZipError(zeOwnArchive, e.name);
    // The folders are walked one by one; natively a link among them would
    // lead the member out of the destination. Members of one folder follow
    // each other: the folder walked for the member before needs no new walk
    // (an extraction makes no links).
    bool create = Options.CreateDirs && !(root + relative).empty();
    std::wstring walked = root + relative + L'|';
    Result<fs::FolderWalk> walk =
        walked == walkedFolder_ ? fs::FolderWalk::Done : fs::MakeFoldersWithin(root, relative, create);
    if (!walk) throw EZipError(zeCreateDir, DropTrailingBackslash(root + relative), walk.error().native);
    switch (walk.value()) {
        case fs::FolderWalk::Done: walkedFolder_ = walked; break;
        case fs::FolderWalk::Link: throw EZipError(zeUnsafeName, e.name);
    }
    if (directory) return;
    if (fs::FileExists(target)) {
        if (Options.ReplaceReadOnly) (void)fs::SetAttributes(target, 0);
        (void)fs::RemoveFile(target);
    }
    fs::File out;
    Result<void> created = out.Open(target, fs::FileMode::Create);
    if (!created) throw EZipError(zeCreateFile, target, created.error().native);
    bool done = false;
    auto finish = [&]() {
        (void)out.SetDosTime(e.DosDateTime());
        if (Options.FlushBuffers && fs::IsRemovableDrive(fs::FullPath(target))) (void)out.Flush();
        (void)out.Close();
        if (!done) (void)fs::RemoveFile(target);
        else if (Options.SetAttributes) (void)fs::SetAttributes(target, e.externalAttributes);
    };
    try {
        if (unpacked) {
            Result<void> written = unpacked->empty() ? Result<void>() : out.Write(unpacked->data(), unpacked->size());
            if (!written) throw EZipError(zeDiskFull, L"", written.error().native);
            done = true;
        } else {
            done = ReadMemberData(index, [&](const uint8_t* p, size_t n) { return out.Write(p, n); });
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// ---- Writing ----

void ZipArchiver::WriteAt(uint64_t position, const std::string& bytes) {
    Result<void> written = file_.Seek(position);
    if (written) written = file_.Write(bytes.data(), bytes.size());
    if (!written) throw EZipError(zeDiskFull, L"", written.error().native);
}

namespace {

// The fields a local header and a directory record share, from the version
// needed to the extra field's length.
void PutSharedHeaderFields(std::string& out, const ZipEntry& e, size_t extraSize) {
    Put16(out, e.versionNeeded);
    Put16(out, e.flags);
    Put16(out, e.method);
    Put16(out, e.modTime);
    Put16(out, e.modDate);
    Put32(out, e.crc32);
    Put32(out, e.compressedSize32);
    Put32(out, e.uncompressedSize32);
    Put16(out, static_cast<uint32_t>(e.rawName.size()));
    Put16(out, static_cast<uint32_t>(extraSize));
}

}  // namespace

void ZipArchiver::WriteDirectory() {
    std::string out;
    for (const ZipEntry& e : entries_) {
        std::string extra = SerializeExtras(e.extras);
        Put32(out, kCentralSig);
        Put16(out, e.versionMadeBy);
        PutSharedHeaderFields(out, e, extra.size());
        Put16(out, static_cast<uint32_t>(e.comment.size()));
        Put16(out, e.diskStart16);
        Put16(out, e.internalAttributes);
        Put32(out, e.externalAttributes);
        Put32(out, e.localHeaderOffset32);
        out += e.rawName;
        out += extra;
        out += e.comment;
    }
    uint64_t dirSize = out.size();
    uint64_t dirEnd = directoryStart_ + dirSize;
    uint64_t count = entries_.size();
    if (dirEnd >= 0xFFFFFFFF || count >= 0xFFFF) {
        zip::Zip64EndRecord z64End;
        z64End.entriesOnDisk = z64End.entries = count;
        z64End.directorySize = dirSize;
        z64End.directoryOffset = directoryStart_;
        zip::Write(out, z64End);
        zip::Zip64Locator locator;
        locator.endOffset = dirEnd;
        zip::Write(out, locator);
    }
    zip::EndRecord endRecord;
    endRecord.entriesOnDisk = endRecord.entries = count > 65534 ? 0xFFFF : static_cast<uint16_t>(count);
    endRecord.directorySize = dirSize >= 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<uint32_t>(dirSize);
    endRecord.directoryOffset =
        directoryStart_ >= 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<uint32_t>(directoryStart_);
    zip::Write(out, endRecord);
    WriteAt(directoryStart_, out);
    Result<void> cut = file_.Truncate();
    if (!cut) throw EZipError(zeDiskFull, L"", cut.error().native);
    directoryWritten_ = true;
}

std::wstring ZipArchiver::StoredName(const std::wstring& fullPath, const std::wstring& root,
                                     bool directory) const {
    std::wstring name;
    switch (Options.StorePath) {
        case spNoPath: name = NameOf(fullPath); break;
        case spRelativePath:
            if (Upper(fullPath.substr(0, root.size())) == Upper(root)) name = fullPath.substr(root.size());
            else name = CutDrive(fullPath, L'\\');
            break;
        case spFullPath:
        case spFullPathWithDrive: name = CutDrive(fullPath, L'\\'); break;
    }
    while (!name.empty() && name[0] == L'\\') name.erase(0, 1);
    std::replace(name.begin(), name.end(), L'\\', L'/');
    if (!name.empty() && name.back() == L'.') name.pop_back();
    if (directory) name += L'/';
    return name;
}

const ZipArchiver::Listing& ZipArchiver::ListFolder(const std::wstring& folder, Listing& scratch) {
    // Within an update, each folder is listed once: a command line naming
    // thousands of files of one folder would otherwise list it thousands of times.
    Listing* l = &scratch;
    if (updateDepth_ > 0) {
        auto [it, fresh] = listings_.try_emplace(Upper(folder));
        l = &it->second;
        if (!fresh) return *l;
    }
    l->entries = fs::ListDirectory(folder);
    std::sort(l->entries.begin(), l->entries.end(),
              [](const fs::DirEntry& a, const fs::DirEntry& b) { return a.name < b.name; });
    for (size_t i = 0; i < l->entries.size(); ++i) {
        l->byUpperName.emplace(Upper(l->entries[i].name), i);
        if (l->entries[i].attributes & fs::kAttrDirectory) l->folders.push_back(i);
    }
    return *l;
}

void ZipArchiver::CollectFiles(const std::wstring& folder, const std::wstring& root,
                               const std::wstring& namePattern, const std::wstring& fullMask,
                               uint32_t attr, const std::wstring& exclude, bool topLevel,
                               std::vector<std::pair<std::wstring, fs::DirEntry>>& out) {
    Listing scratch;
    const Listing& listing = ListFolder(folder, scratch);
    const std::vector<fs::DirEntry>& list = listing.entries;
    // A name without wildcards matches only the entries of that name (in any
    // case): those and the subfolders are all there is to look at.
    std::vector<size_t> candidates;
    const bool plain = namePattern.find_first_of(L"*?") == std::wstring::npos;
    if (plain) {
        candidates = listing.folders;
        auto [from, to] = listing.byUpperName.equal_range(Upper(namePattern));
        for (auto it = from; it != to; ++it)
            if (!(list[it->second].attributes & fs::kAttrDirectory)) candidates.push_back(it->second);
        std::sort(candidates.begin(), candidates.end());
    } else {
        candidates.resize(list.size());
        for (size_t i = 0; i < list.size(); ++i) candidates[i] = i;
    }
    std::wstring archive = Upper(openPath_);
    for (size_t i : candidates) {
        const fs::DirEntry& d = list[i];
        std::wstring full = AddBackslash(folder) + d.name;
        if (Upper(full) == archive) continue;
        if ((d.attributes & kFilterBits & ~fs::kAttrDirectory) & ~attr) continue;
        if (!exclude.empty() && fs::MaskMatches(exclude, d.name)) continue;
        bool matches = fs::MaskMatches(namePattern, d.name);
        if (d.attributes & fs::kAttrDirectory) {
            bool admitted = (attr & fs::kAttrDirectory) != 0;
            if (matches && admitted && topLevel) {
                out.emplace_back(full, d);
                CollectFiles(full, root, namePattern, fullMask, attr, exclude, Options.Recurse, out);
            } else if (Options.Recurse) {
                CollectFiles(full, root, namePattern, fullMask, attr, exclude, true, out);
            }
        } else if (matches) {
            out.emplace_back(full, d);
        }
    }
}

void ZipArchiver::AddFiles(const std::wstring& mask, uint32_t searchAttr,
                           const std::wstring& excludeMask) {
    if (mode_ == Mode::Closed) throw EZipError(zeNotOpen);
    if (mode_ == Mode::Reading) throw EZipError(zeReadOnlyArchive);
    std::wstring full = ToBackslashes(mask);
    bool absolute = (full.size() >= 2 && full[1] == L':') || (!full.empty() && full[0] == L'\\');
    if (!absolute && !BaseDir.empty()) full = AddBackslash(BaseDir) + full;
    full = fs::FullPath(full);
    std::wstring folder = FolderOf(full);
    std::wstring pattern = NameOf(full);
    std::vector<std::pair<std::wstring, fs::DirEntry>> found;
    CollectFiles(DropTrailingBackslash(folder), folder, pattern, full, searchAttr, excludeMask, true, found);

    std::vector<ZipEntry> before = entries_;
    uint64_t beforeStart = directoryStart_;
    std::unique_ptr<Packer> packer;
    if (Threads > 1 && CompressionLevel != clNone && found.size() > 1) {
        std::vector<std::pair<std::wstring, uint64_t>> sources;
        sources.reserve(found.size());
        for (const auto& [path, d] : found)
            sources.emplace_back((d.attributes & fs::kAttrDirectory) ? std::wstring() : path, d.size);
        packer = std::make_unique<Packer>(std::move(sources), DeflateLevel(), Threads);
    }
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [path, d] = found[i];
        std::unique_ptr<Packed> packed = packer ? packer->Take(i) : nullptr;
        for (;;) {
            try {
                AddOne(path, StoredName(path, folder, (d.attributes & fs::kAttrDirectory) != 0),
                       (d.attributes & fs::kAttrDirectory) != 0, packed.get());
                if (packer) packer->Return(std::move(packed));
                break;
            } catch (const EZipError& err) {
                // A retry reads the file again.
                if (packer) packer->Return(std::move(packed));
                Answer a = AskAboutFailure(err);
                if (a == Answer::Retry) continue;
                if (a == Answer::Ignore) break;
                packer.reset();
                entries_ = std::move(before);
                directoryStart_ = beforeStart;
                RebuildIndex();
                WriteDirectory();
                return;
            }
        }
    }
    packer.reset();
    if (updateDepth_ == 0) WriteDirectory();
}

void ZipArchiver::BeginUpdate() { ++updateDepth_; }

void ZipArchiver::EndUpdate() {
    if (updateDepth_ == 0 || --updateDepth_ > 0) return;
    listings_.clear();
    if (mode_ == Mode::Writing && !directoryWritten_) WriteDirectory();
}

int ZipArchiver::DeflateLevel() const {
    return CompressionLevel == clFastest ? 1 : CompressionLevel == clMax ? 9 : 6;
}

void ZipArchiver::AddOne(const std::wstring& source, const std::wstring& storedName,
                         bool directory, Packed* packed) {
    if (source.size() > 259 && source.find(L"\\\\?\\") == std::wstring::npos)
        throw EZipError(zeNameTooLong, source);
    ZipEntry e;
    e.name = storedName;
    e.sourcePath = source;
    const bool oem = Options.OEMFileNames;
    e.versionMadeBy = e.versionNeeded = oem ? 20 : 0x0B14;
    std::string ansi = os::ToAnsi(storedName);
    if (os::FromAnsi(ansi) == storedName) {
        e.rawName = oem ? os::ToOem(storedName) : ansi;
    } else {
        e.rawName = os::ToUtf8(storedName);
        e.flags |= 0x0800;
    }
    Result<uint32_t> dosTime = fs::GetDosTime(source);
    uint32_t dos = dosTime ? dosTime.value() : fs::DosTimeNow();
    e.modDate = static_cast<uint16_t>(dos >> 16);
    e.modTime = static_cast<uint16_t>(dos & 0xFFFF);
    Result<uint32_t> attrs = fs::GetAttributes(source);
    e.externalAttributes = attrs ? attrs.value() : fs::kAttrArchive;
    if (UnicodeFilenames) {
        uint32_t units = 0;
        std::string utf16 = os::ToUtf16Le(storedName, units);
        ZipExtraBlock nu;
        nu.id = kUnicodeNameId;
        nu.data = "NUCX";
        Put32(nu.data, units);
        nu.data += utf16;
        e.extras.push_back(std::move(nu));
    }
    // Name and extra field lengths are 16-bit in the records.
    if (e.rawName.size() > 0xFFFF || SerializeExtras(e.extras).size() > 0xFFFF)
        throw EZipError(zeNameTooLong, storedName);

    auto existing = index_.find(Upper(storedName));
    if (existing != index_.end()) {
        const ZipEntry& old = entries_[existing->second];
        TZipOverwriteMode m = Options.OverwriteMode;
        if (m == omNever) return;
        if (m == omIfNewer && dos <= old.DosDateTime()) return;
        if (m == omIfOlder && dos >= old.DosDateTime()) return;
    }

    uint64_t offset = directoryStart_;
    if (offset >= 0xFFFFFFFF) throw EZipError(zeNeedsZip64, source);
    e.localHeaderOffset = offset;
    e.localHeaderOffset32 = static_cast<uint32_t>(offset);
    fs::File src;
    if (!directory) {
        Result<void> opened = src.Open(source, fs::FileMode::Read);
        if (!opened) throw EZipError(zeOpenSource, source, opened.error().native);
        Result<uint64_t> sized = src.Size();
        if (!sized) throw EZipError(zeOpenSource, source, sized.error().native);
        uint64_t size = sized.value();
        if (size >= 0xFFFFFFFF) throw EZipError(zeNeedsZip64, source);
        e.uncompressedSize = size;
        e.password = Password;
        if (!e.password.empty()) e.flags |= 1;
        e.method = (size == 0 || CompressionLevel == clNone) ? 0 : 8;
        e.deflateLevel = DeflateLevel();
    }
    e.actualMethod = e.method;
    e.encryption = (e.flags & 1) ? ZipEncryption::Pkware : ZipEncryption::None;
    try {
        // What a packer made is used only for the same file as it is now.
        if (packed && (e.method != 8 || packed->size != e.uncompressedSize)) packed = nullptr;
        WriteMember(e, src, packed);
    } catch (...) {
        crypto::Wipe(e.password.data(), e.password.size());
        // Drop what was written of this member.
        if (file_.Seek(offset)) (void)file_.Truncate();
        throw;
    }
    crypto::Wipe(e.password.data(), e.password.size());
    e.password.clear();
    bool replaced = existing != index_.end();
    if (replaced) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(existing->second));
    entries_.push_back(std::move(e));
    if (replaced) RebuildIndex();
    else index_[Upper(entries_.back().name)] = entries_.size() - 1;
}

void ZipArchiver::WriteMember(ZipEntry& e, fs::File& src, Packed* packed) {
    std::string extra = SerializeExtras(e.extras);
    auto localHeader = [&]() {
        std::string h;
        Put32(h, kLocalSig);
        PutSharedHeaderFields(h, e, extra.size());
        return h;
    };
    WriteAt(e.localHeaderOffset, localHeader() + e.rawName + extra);
    uint64_t written = 0;
    uint64_t read = 0;
    if (src.IsOpen()) {
        const int level = e.deflateLevel;
        size_t chunk = DeflateChunk(level);
        if (!packed && inBuf_.size() < chunk) inBuf_.resize(chunk);
        uint8_t* const in = inBuf_.data();
        const bool encrypt = (e.flags & 1) != 0;
        uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
        auto readChunk = [&]() -> size_t {
            Result<size_t> n = src.ReadFull(in, chunk);
            if (!n) throw EZipError(zeOpenSource, e.sourcePath, n.error().native);
            return n.value();
        };
        zip::PkwareCipher cipher;
        if (encrypt) {
            // The encryption header needs the CRC before any data is written.
            if (packed) {
                crc = packed->crc;
            } else {
                while (size_t n = readChunk()) crc = static_cast<uint32_t>(crc32(crc, in, static_cast<uInt>(n)));
                Result<void> rewound = src.Seek(0);
                if (!rewound) throw EZipError(zeOpenSource, e.sourcePath, rewound.error().native);
            }
            uint8_t random[10], header[12];
            bool gotRandom = RandomSource ? RandomSource(random, sizeof random)
                                          : crypto::RandomBytes(random, sizeof random);
            if (!gotRandom) {
                uint32_t seed = fs::DosTimeNow() ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&e));
                for (uint8_t& b : random) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
            }
            cipher.MakeHeader(e.password, crc, random, header);
            Result<void> headerWritten = file_.Write(header, 12);
            if (!headerWritten) throw EZipError(zeDiskFull, L"", headerWritten.error().native);
            written += 12;
            crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
        }
        auto put = [&](uint8_t* p, size_t n) {
            if (n == 0) return;
            if (encrypt) cipher.Encrypt(p, n);
            Result<void> stored = file_.Write(p, n);
            if (!stored) throw EZipError(zeDiskFull, L"", stored.error().native);
            written += n;
        };
        if (packed) {
            crc = packed->crc;
            read = packed->size;
            put(reinterpret_cast<uint8_t*>(packed->data.data()), packed->data.size());
        } else if (e.method == 0) {
            while (size_t n = readChunk()) {
                crc = static_cast<uint32_t>(crc32(crc, in, static_cast<uInt>(n)));
                read += n;
                put(in, n);
            }
        } else {
            if (!deflater_ || deflaterLevel_ != level) {
                deflater_ = std::make_unique<Deflater>(level);
                deflaterLevel_ = level;
            } else if (deflateReset(&deflater_->z) != Z_OK) {
                deflater_->ready = false;
            }
            if (!deflater_->ready) {
                deflater_.reset();
                throw EZipError(zeBadData);
            }
            Deflater& d = *deflater_;
            const size_t outSize = 256u << 10;
            if (outBuf_.size() < outSize) outBuf_.resize(outSize);
            uint8_t* const out = outBuf_.data();
            bool last = false;
            while (!last) {
                size_t n = readChunk();
                last = n == 0;
                crc = static_cast<uint32_t>(crc32(crc, in, static_cast<uInt>(n)));
                read += n;
                d.z.next_in = in;
                d.z.avail_in = static_cast<uInt>(n);
                int rc;
                do {
                    d.z.next_out = out;
                    d.z.avail_out = static_cast<uInt>(outSize);
                    rc = deflate(&d.z, last ? Z_FINISH : Z_NO_FLUSH);
                    if (rc == Z_STREAM_ERROR) throw EZipError(zeBadData);
                    put(out, outSize - d.z.avail_out);
                } while (d.z.avail_out == 0 || (last && rc != Z_STREAM_END));
            }
        }
        if (read >= 0xFFFFFFFF || written >= 0xFFFFFFFF) throw EZipError(zeNeedsZip64, e.sourcePath);
        e.crc32 = crc;
    }
    e.uncompressedSize = read;
    e.compressedSize = written;
    e.uncompressedSize32 = static_cast<uint32_t>(read);
    e.compressedSize32 = static_cast<uint32_t>(written);
    e.nameLength = static_cast<uint16_t>(e.rawName.size());
    e.extraLength = static_cast<uint16_t>(extra.size());
    uint64_t end = e.localHeaderOffset + 30 + e.rawName.size() + extra.size() + written;
    WriteAt(e.localHeaderOffset, localHeader());
    directoryStart_ = end;
    directoryWritten_ = false;
}

}  // namespace bv
