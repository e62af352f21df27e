// Writing an archive: the files a mask chooses, each member's local header
// and data (deflated, encrypted when a password is set, compressed ahead on
// worker threads when asked), and the central directory with its end records.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "archive/zip_internal.h"
#include "archive/zip_records.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "util/strings.h"

namespace bv {

// A member, or a piece of a large one, compressed ahead of its turn by a
// Packer thread: its deflated data, which the writer then encrypts (if
// asked) and writes.
struct ZipArchiver::Packed {
    uint64_t size = 0;  // bytes read from the source
    uint32_t crc = 0;
    // A piece: the CRC of the bytes before it that primed the stream, and of
    // its own last bytes, which prime the next piece. Pieces fit together
    // only when each one was primed with the bytes the one before it read.
    uint32_t primedCrc = 0, tailCrc = 0;
    std::string data;
};

namespace {

using zip::CutDrive;
using zip::Deflater;
using zip::kAheadBudget;
using zip::kFilterBits;
using zip::SerializeExtras;
using zip::ToBackslashes;
using zip::Upper;

// The input block of the deflate stream: the same for the writer and the
// packers, so that both make the same bytes.
size_t DeflateChunk(int level) { return level <= 3 ? (512u << 10) : level >= 7 ? (1536u << 10) : (1u << 20); }

// A member larger than kPiece is deflated in pieces of kPiece bytes, so
// that several threads can work on it: each piece is a deflate stream of its
// own, primed with the kWindow bytes before it (the matches it may use are
// then the same as in one stream) and ended by a sync flush, which leaves it
// on a byte boundary without ending the data; the last piece ends it. The
// pieces put one after the other are one valid deflate stream, a few bytes
// longer than one made whole. One thread makes the same pieces.
constexpr size_t kPiece = 2u << 20;
constexpr size_t kWindow = 32u << 10;

bool InPieces(uint64_t size) { return size > kPiece; }
size_t PieceCount(uint64_t size) { return static_cast<size_t>((size + kPiece - 1) / kPiece); }

uint32_t Crc(const uint8_t* p, size_t n) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), p, static_cast<uInt>(n)));
}

// Already compressed or encrypted data costs zlib as much time as text and
// gains nothing. A stretch of a piece whose bytes are spread over all 256
// values as evenly as random bytes are (a chi-square below kEvenSpread, where
// random data scores about 255 and text or program data thousands) is
// stored rather than searched for matches.
constexpr size_t kStretch = 64u << 10;
constexpr uint64_t kEvenSpread = 512;

bool LooksIncompressible(const uint8_t* p, size_t n) {
    if (n < 4096) return false;
    // Four tables, so that runs of one byte value do not wait on each other.
    uint32_t counts[4][256] = {};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++counts[0][p[i]];
        ++counts[1][p[i + 1]];
        ++counts[2][p[i + 2]];
        ++counts[3][p[i + 3]];
    }
    for (; i < n; ++i) ++counts[0][p[i]];
    uint64_t squares = 0;
    for (int v = 0; v < 256; ++v) {
        const uint64_t c = uint64_t{counts[0][v]} + counts[1][v] + counts[2][v] + counts[3][v];
        squares += c * c;
    }
    // chi-square against an even spread: 256 * sum(c^2) / n - n
    return squares * 256 < (kEvenSpread + n) * n;
}

// Deflates `n` bytes at `in` as one piece, primed with the `primed` bytes
// before `in`, into `out`, at `level` except for stretches that look
// incompressible.
bool DeflatePiece(z_stream& z, int level, const uint8_t* in, size_t primed, size_t n, bool last,
                  std::string& out) {
    if (deflateReset(&z) != Z_OK || deflateParams(&z, level, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    if (primed > 0 && deflateSetDictionary(&z, in - primed, static_cast<uInt>(primed)) != Z_OK) return false;
    out.clear();
    out.resize(deflateBound(&z, static_cast<uLong>(n)) + 64);
    size_t used = 0;
    auto room = [&]() {
        used = out.size() - z.avail_out;
        if (z.avail_out == 0) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data()) + used;
        z.avail_out = static_cast<uInt>(out.size() - used);
    };
    z.avail_out = static_cast<uInt>(out.size());
    room();
    int current = level;
    for (size_t at = 0; at < n; at += kStretch) {
        const size_t length = std::min(kStretch, n - at);
        const int wanted = LooksIncompressible(in + at, length) ? 0 : level;
        if (wanted != current) {
            // zlib first deflates what it holds at the old level.
            int rc;
            while ((rc = deflateParams(&z, wanted, Z_DEFAULT_STRATEGY)) == Z_BUF_ERROR && z.avail_out == 0) room();
            if (rc != Z_OK) return false;
            current = wanted;
        }
        z.next_in = const_cast<Bytef*>(in + at);
        z.avail_in = static_cast<uInt>(length);
        while (z.avail_in > 0) {
            if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) return false;
            room();
        }
    }
    for (;;) {
        int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR) return false;
        const bool done = last ? rc == Z_STREAM_END : z.avail_out != 0;
        room();
        if (done) break;
    }
    out.resize(out.size() - z.avail_out);
    return true;
}

}  // namespace

// Compresses the members of one AddFiles call on worker threads, in the
// order they will be written: small members whole, large ones in pieces
// (several workers can share one), holding at most kAheadBudget bytes of
// members and pieces the writer has not taken yet (or the one it waits for):
// memory stays bounded whatever the members' sizes. What a worker could not
// do (a folder, an empty file, a read error) it leaves to the writer, which
// then takes the ordinary path and meets any failure itself, in order.
class ZipArchiver::Packer {
public:
    // `sources` with their sizes; "" for what is not to be packed.
    Packer(std::vector<std::pair<std::wstring, uint64_t>> sources, int level, unsigned threads)
        : sources_(std::move(sources)), level_(level) {
        for (size_t i = 0; i < sources_.size(); ++i) {
            auto& [path, size] = sources_[i];
            if (size == 0) path.clear();
            first_.push_back(jobs_.size());
            if (path.empty() || !InPieces(size)) {
                jobs_.push_back({i, 0, path.empty() ? 0 : size, false});
                continue;
            }
            for (uint64_t at = 0; at < size; at += kPiece) jobs_.push_back({i, at, std::min<uint64_t>(kPiece, size - at), true});
        }
        first_.push_back(jobs_.size());
        done_.resize(jobs_.size());
        finished_.assign(jobs_.size(), 0);
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

    // The size member `i` was planned with: its pieces fit only a file of
    // that size.
    uint64_t PlannedSize(size_t i) const { return sources_[i].second; }

    // Piece `piece` of member `i` compressed (0 for a member made whole), or
    // nullptr when the writer must do it. Jobs are taken in increasing order;
    // those the writer passes over are dropped, and one taken before (a
    // retry) answers nullptr.
    std::unique_ptr<Packed> Take(size_t i, size_t piece) {
        const size_t j = first_[i] + piece;
        std::unique_ptr<Packed> p;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (taken_ <= j) {
                const size_t t = taken_;
                changed_.wait(lock, [&] { return finished_[t] != 0; });
                p = std::move(done_[t]);
                taken_ = t + 1;
                held_ -= jobs_[t].weight;
                if (t < j && p) Keep(std::move(p));
                if (t < j) p.reset();
            }
        }
        changed_.notify_all();
        return p;
    }

    // Gives a member's buffers back once written: fresh buffers of
    // megabytes would cost a page fault for every page, member after member.
    void Return(std::unique_ptr<Packed> p) {
        if (!p) return;
        std::lock_guard<std::mutex> lock(mutex_);
        Keep(std::move(p));
    }

private:
    // Buffers of megabytes are pooled, up to kAheadBudget bytes of them;
    // smaller ones the allocator reuses well by itself (lock held).
    static constexpr size_t kPooled = 256u << 10;
    void Keep(std::unique_ptr<Packed> p) {
        const size_t capacity = p->data.capacity();
        if (capacity < kPooled || poolBytes_ + capacity > kAheadBudget) return;
        poolBytes_ += capacity;
        pool_.push_back(std::move(p));
    }
    // A pooled buffer for `bytes` of input: the smallest that holds their
    // deflated data, or else the largest (lock held).
    std::unique_ptr<Packed> Spare(uint64_t bytes) {
        const uint64_t need = bytes + bytes / 2048 + 1024;  // at least deflateBound(bytes) + 64
        if (pool_.empty() || need < kPooled) return nullptr;
        auto best = pool_.end();
        for (auto it = pool_.begin(); it != pool_.end(); ++it) {
            const uint64_t c = (*it)->data.capacity();
            if (best == pool_.end()) { best = it; continue; }
            const uint64_t b = (*best)->data.capacity();
            if (c >= need ? (b < need || c < b) : (b < need && c > b)) best = it;
        }
        std::unique_ptr<Packed> p = std::move(*best);
        *best = std::move(pool_.back());
        pool_.pop_back();
        poolBytes_ -= p->data.capacity();
        return p;
    }

    struct Job {
        size_t source;
        uint64_t offset;
        uint64_t weight;  // bytes held while done and not taken; 0: the writer's
        bool piece;
    };

    void Work() {
        z_stream z{};
        bool ready = deflateInit2(&z, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        Buffer in;
        std::unique_ptr<Packed> spare;
        for (;;) {
            size_t j;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || next_ >= jobs_.size() || next_ == taken_ ||
                           held_ + jobs_[next_].weight <= kAheadBudget;
                });
                if (stop_ || next_ >= jobs_.size()) break;
                j = next_++;
                held_ += jobs_[j].weight;
                if (jobs_[j].weight > 0) {
                    if (spare) Keep(std::move(spare));
                    spare = Spare(jobs_[j].weight);
                }
            }
            std::unique_ptr<Packed> p;
            const Job& job = jobs_[j];
            if (ready && job.weight > 0) p = job.piece ? PackPiece(z, job, in, spare) : Pack(z, job, in, spare);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_[j] = std::move(p);
                finished_[j] = 1;
            }
            changed_.notify_all();
        }
        if (ready) deflateEnd(&z);
    }

    std::unique_ptr<Packed> Pack(z_stream& z, const Job& job, Buffer& in,
                                 std::unique_ptr<Packed>& spare) {
        fs::File src;
        if (!src.Open(sources_[job.source].first, fs::FileMode::Read)) return nullptr;
        Result<uint64_t> sized = src.Size();
        if (!sized) return nullptr;
        uint64_t size = sized.value();
        if (size == 0 || size != job.weight) return nullptr;
        // One byte more than the size tells a file that grew since.
        in.resize(static_cast<size_t>(size) + 1);
        Result<size_t> n = src.ReadFull(in.data(), static_cast<size_t>(size) + 1);
        if (!n || n.value() != size) return nullptr;
        // (a piece may have left the stream at level 0)
        if (deflateReset(&z) != Z_OK || deflateParams(&z, level_, Z_DEFAULT_STRATEGY) != Z_OK) return nullptr;
        std::unique_ptr<Packed> p = spare ? std::move(spare) : std::make_unique<Packed>();
        p->size = static_cast<uint64_t>(size);
        p->crc = static_cast<uint32_t>(crc32(0, in.data(), static_cast<uInt>(size)));
        p->data.clear();
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

    // One piece: the bytes before it that prime the stream and its own, read
    // together in one go.
    std::unique_ptr<Packed> PackPiece(z_stream& z, const Job& job, Buffer& in,
                                      std::unique_ptr<Packed>& spare) {
        const uint64_t size = sources_[job.source].second;
        const size_t primed = job.offset == 0 ? 0 : kWindow;
        const size_t n = static_cast<size_t>(job.weight);
        fs::File src;
        if (!src.Open(sources_[job.source].first, fs::FileMode::Read)) return nullptr;
        if (!src.Seek(job.offset - primed)) return nullptr;
        in.resize(primed + n);
        Result<size_t> got = src.ReadFull(in.data(), primed + n);
        if (!got || got.value() != primed + n) return nullptr;
        std::unique_ptr<Packed> p = spare ? std::move(spare) : std::make_unique<Packed>();
        const uint8_t* data = in.data() + primed;
        if (!DeflatePiece(z, level_, data, primed, n, job.offset + n == size, p->data)) return nullptr;
        p->size = n;
        p->crc = Crc(data, n);
        p->primedCrc = primed ? Crc(in.data(), primed) : 0;
        p->tailCrc = n >= kWindow ? Crc(data + n - kWindow, kWindow) : 0;
        return p;
    }

    std::vector<std::pair<std::wstring, uint64_t>> sources_;
    const int level_;
    std::vector<Job> jobs_;
    std::vector<size_t> first_;  // each member's first job; one more at the end
    uint64_t held_ = 0;  // bytes of the jobs picked and not taken
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Packed>> done_;
    std::vector<std::unique_ptr<Packed>> pool_;
    uint64_t poolBytes_ = 0;
    std::vector<char> finished_;
    size_t next_ = 0;   // the next job a worker takes
    size_t taken_ = 0;  // jobs the writer has taken
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

void ZipArchiver::WriteAt(uint64_t position, const std::string& bytes) {
    Result<void> written = file_.Seek(position);
    if (written) written = file_.Write(bytes.data(), bytes.size());
    if (!written) throw EZipError(zeDiskFull, L"", written.error().native);
}

void ZipArchiver::WriteDirectory() {
    std::string out;
    for (const ZipEntry& e : entries_) {
        std::string extra = SerializeExtras(e.extras);
        zip::CentralRecord record = e;
        record.nameLength = static_cast<uint16_t>(e.rawName.size());
        record.extraLength = static_cast<uint16_t>(extra.size());
        record.commentLength = static_cast<uint16_t>(e.comment.size());
        zip::Write(out, record);
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
    // An archive being updated keeps its comment; a new one has none.
    endRecord.comment = comment_;
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
    for (size_t i : candidates) {
        const fs::DirEntry& d = list[i];
        std::wstring full = AddBackslash(folder) + d.name;
        if (!(d.attributes & fs::kAttrDirectory) && IsOwnFile(full, d)) continue;
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

bool ZipArchiver::IsOwnFile(const std::wstring& path, const fs::DirEntry& entry) const {
    // The archive may be reached through another path (a link to its
    // folder, another spelling): its identity decides. Only a file that
    // has the archive's name or that of the file being written, or the
    // size the archive had when an update opened it, is asked about.
    const std::wstring name = Upper(entry.name);
    const bool archiveName = !openPath_.empty() && name == Upper(NameOf(openPath_));
    const bool partialName = !updatePath_.empty() && name == Upper(NameOf(updatePath_));
    const bool archiveSize = !updatePath_.empty() && entry.size == archiveSize_;
    if (!archiveName && !partialName && !archiveSize) return false;
    if (Upper(path) == Upper(openPath_) || (!updatePath_.empty() && Upper(path) == Upper(updatePath_))) return true;
    return fs::SameFile(path, openPath_) || (!updatePath_.empty() && fs::SameFile(path, updatePath_));
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
    const size_t writtenBefore = membersWritten_;
    std::unique_ptr<Packer> packer;
    // One file alone is worth the threads when it is deflated in pieces.
    if (Threads > 1 && CompressionLevel != clNone &&
        (found.size() > 1 || (found.size() == 1 && InPieces(found[0].second.size)))) {
        std::vector<std::pair<std::wstring, uint64_t>> sources;
        sources.reserve(found.size());
        for (const auto& [path, d] : found)
            sources.emplace_back((d.attributes & fs::kAttrDirectory) ? std::wstring() : path, d.size);
        packer = std::make_unique<Packer>(std::move(sources), DeflateLevel(), Threads);
    }
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [path, d] = found[i];
        for (;;) {
            try {
                // A retry reads the file again, on this thread.
                AddOne(path, StoredName(path, folder, (d.attributes & fs::kAttrDirectory) != 0),
                       (d.attributes & fs::kAttrDirectory) != 0, packer.get(), i);
                break;
            } catch (const EZipError& err) {
                Answer a = AskAboutFailure(err);
                if (a == Answer::Retry) continue;
                if (a == Answer::Ignore) break;
                packer.reset();
                entries_ = std::move(before);
                directoryStart_ = beforeStart;
                membersWritten_ = writtenBefore;
                RebuildIndex();
                WriteDirectory();
                return;
            }
        }
    }
    packer.reset();
    // Nothing added leaves the directory on disk as it is.
    if (updateDepth_ == 0 && !directoryWritten_) WriteDirectory();
}

void ZipArchiver::BeginUpdate() { ++updateDepth_; }

void ZipArchiver::EndUpdate() {
    if (updateDepth_ == 0 || --updateDepth_ > 0) return;
    listings_.clear();
    if (mode_ == Mode::Writing && !directoryWritten_) WriteDirectory();
}

zip::Deflater& ZipArchiver::ReadyDeflater(int level) {
    if (!deflater_ || deflaterLevel_ != level) {
        deflater_ = std::make_unique<Deflater>(level);
        deflaterLevel_ = level;
    } else if (deflateReset(&deflater_->z) != Z_OK ||
               deflateParams(&deflater_->z, level, Z_DEFAULT_STRATEGY) != Z_OK) {
        // (a piece may have left the stream at level 0)
        deflater_->ready = false;
    }
    if (!deflater_->ready) {
        deflater_.reset();
        throw EZipError(zeBadData);
    }
    return *deflater_;
}

void ZipArchiver::WritePieces(ZipEntry& e, fs::File& src, const std::function<void(uint8_t*, size_t)>& put,
                              uint32_t& crc, uint64_t& read) {
    // Every byte is read once: each piece is primed with the end of the one
    // before it, kept in front of it in the buffer.
    z_stream& z = ReadyDeflater(e.deflateLevel).z;
    if (inBuf_.size() < kWindow + kPiece) inBuf_.resize(kWindow + kPiece);
    uint8_t* const buf = inBuf_.data();
    uint8_t* const data = buf + kWindow;
    size_t primed = 0;
    for (;;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, e.uncompressedSize - read));
        Result<size_t> n = src.ReadFull(data, want);
        if (!n) throw EZipError(zeOpenSource, e.sourcePath, n.error().native);
        const size_t got = n.value();
        // A file that shrank since ends where its data ends.
        const bool last = got < want || read + got == e.uncompressedSize;
        if (!DeflatePiece(z, e.deflateLevel, data, primed, got, last, pieceOut_)) throw EZipError(zeBadData);
        crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(got)));
        read += got;
        put(reinterpret_cast<uint8_t*>(pieceOut_.data()), pieceOut_.size());
        if (last) break;
        std::memcpy(buf, data + got - kWindow, kWindow);
        primed = kWindow;
    }
}

int ZipArchiver::DeflateLevel() const {
    return CompressionLevel == clFastest ? 1 : CompressionLevel == clMax ? 9 : 6;
}

void ZipArchiver::AddOne(const std::wstring& source, const std::wstring& storedName,
                         bool directory, Packer* packer, size_t index) {
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
        zip::UnicodeNameExtra unicode;
        unicode.units = units;
        unicode.utf16 = std::move(utf16);
        ZipExtraBlock nu;
        nu.id = zip::UnicodeNameExtra::kId;
        zip::Write(nu.data, unicode);
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
        if (static_cast<uint64_t>(size) >= 0xFFFFFFFF) throw EZipError(zeNeedsZip64, source);
        e.uncompressedSize = static_cast<uint64_t>(size);
        e.password = Password;
        if (!e.password.empty()) e.flags |= 1;
        e.method = (size == 0 || CompressionLevel == clNone) ? 0 : 8;
        e.deflateLevel = DeflateLevel();
    }
    e.actualMethod = e.method;
    e.encryption = (e.flags & 1) ? ZipEncryption::Pkware : ZipEncryption::None;
    try {
        // What a packer made is used only for the same file as it is now.
        if (packer && (e.method != 8 || packer->PlannedSize(index) != e.uncompressedSize)) packer = nullptr;
        WriteMember(e, src, packer, index);
    } catch (...) {
        crypto::Wipe(e.password.data(), e.password.size());
        // Drop what was written of this member.
        if (file_.Seek(offset)) (void)file_.Truncate();
        throw;
    }
    crypto::Wipe(e.password.data(), e.password.size());
    e.password.clear();
    ++membersWritten_;
    bool replaced = existing != index_.end();
    if (replaced) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(existing->second));
    entries_.push_back(std::move(e));
    if (replaced) RebuildIndex();
    else index_[Upper(entries_.back().name)] = entries_.size() - 1;
}

void ZipArchiver::WriteMember(ZipEntry& e, fs::File& src, Packer* packer, size_t index) {
    const bool pieces = e.method == 8 && InPieces(e.uncompressedSize);
    std::unique_ptr<Packed> whole = packer && !pieces ? packer->Take(index, 0) : nullptr;
    Packed* packed = whole.get();
    std::string extra = SerializeExtras(e.extras);
    e.nameLength = static_cast<uint16_t>(e.rawName.size());
    e.extraLength = static_cast<uint16_t>(extra.size());
    auto localHeader = [&]() {
        zip::LocalHeader header;
        static_cast<zip::HeaderFields&>(header) = e;
        std::string h;
        zip::Write(h, header);
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
            packer->Return(std::move(whole));
        } else if (pieces) {
            const uint32_t crcAtStart = crc;
            bool made = false;
            if (packer) {
                const uint64_t dataStart =
                    e.localHeaderOffset + zip::LocalHeader::kSize + e.rawName.size() + extra.size() + written;
                const zip::PkwareCipher cipherAtStart = cipher;
                const uint64_t writtenAtStart = written;
                made = true;
                uint32_t tail = 0;
                for (size_t c = 0; made && c < PieceCount(e.uncompressedSize); ++c) {
                    std::unique_ptr<Packed> p = packer->Take(index, c);
                    if (!p || (c > 0 && p->primedCrc != tail)) {
                        made = false;
                        break;
                    }
                    put(reinterpret_cast<uint8_t*>(p->data.data()), p->data.size());
                    crc = static_cast<uint32_t>(crc32_combine(crc, p->crc, static_cast<z_off_t>(p->size)));
                    read += p->size;
                    tail = p->tailCrc;
                    packer->Return(std::move(p));
                }
                if (!made) {
                    // A piece the workers could not make, or pieces of a file
                    // that changed between their reads: the member is made
                    // again here, from its start.
                    Result<void> undone = file_.Seek(dataStart);
                    if (undone) undone = file_.Truncate();
                    if (!undone) throw EZipError(zeDiskFull, L"", undone.error().native);
                    Result<void> rewound = src.Seek(0);
                    if (!rewound) throw EZipError(zeOpenSource, e.sourcePath, rewound.error().native);
                    cipher = cipherAtStart;
                    written = writtenAtStart;
                    read = 0;
                    crc = crcAtStart;
                }
            }
            if (!made) WritePieces(e, src, put, crc, read);
        } else if (e.method == 0) {
            while (size_t n = readChunk()) {
                crc = static_cast<uint32_t>(crc32(crc, in, static_cast<uInt>(n)));
                read += n;
                put(in, n);
            }
        } else {
            Deflater& d = ReadyDeflater(level);
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
    uint64_t end = e.localHeaderOffset + zip::LocalHeader::kSize + e.rawName.size() + extra.size() + written;
    WriteAt(e.localHeaderOffset, localHeader());
    directoryStart_ = end;
    directoryWritten_ = false;
}

}  // namespace bv
