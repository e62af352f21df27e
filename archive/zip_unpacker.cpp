// Extraction on worker threads (see zip_unpacker.h).
#include "archive/zip_unpacker.h"

#include <algorithm>
#include <cstring>

#include "platform/crypto.h"

namespace bv {

class ZipArchiver::Unpacker::Silent : public Questions {
public:
    void ShowMessage(const std::wstring&) override {}
    void ShowError(const std::wstring&) override {}
    Answer AskPassword(const std::wstring&, std::wstring&) override { return Answer::Cancel; }
    Answer AskFailure(const std::wstring&, bool) override { return Answer::Ignore; }
};

namespace {
// How many blocks the member the writer is at may have waiting beyond the
// budget: enough to keep its worker going while the writer writes.
constexpr size_t kHeadBlocks = 4;
}  // namespace

ZipArchiver::Unpacker::Unpacker(const ZipArchiver& owner, std::vector<size_t> members, unsigned threads)
    : silent_(std::make_unique<Silent>()), password_(owner.Password), members_(std::move(members)) {
    slots_ = std::vector<Slot>(members_.size());
    for (size_t k = 0; k < members_.size(); ++k) {
        const ZipEntry& e = owner.entries_[members_[k]];
        // Folders, refused and empty members are the writer's at once.
        slots_[k].size = e.refusal || e.IsDirectory() ? 0 : e.uncompressedSize;
    }
    running_ = threads;
    // Each worker makes a reader of its own (the same directory, another
    // file handle) on its own thread, while the writer starts.
    for (unsigned t = 0; t < threads; ++t)
        workers_.emplace_back([this, &owner] {
            ZipArchiver reader;
            reader.FileName = owner.openPath_;
            reader.Password = password_;
            reader.ExtractCorruptedFiles = owner.ExtractCorruptedFiles;
            reader.Questions = silent_.get();
            reader.entries_ = owner.entries_;
            reader.directoryStart_ = owner.directoryStart_;
            reader.offsetBias_ = owner.offsetBias_;
            reader.openPath_ = owner.openPath_;
            bool opened = true;
            if (owner.file_.InMemory()) reader.file_.OpenMemory(owner.file_.Memory());
            else opened = static_cast<bool>(reader.file_.Open(owner.openPath_, fs::FileMode::Read));
            reader.mode_ = Mode::Reading;
            if (opened) Work(reader);
            Quit();
        });
}

ZipArchiver::Unpacker::~Unpacker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    workerWake_.notify_all();
    for (std::thread& t : workers_) t.join();
    crypto::Wipe(password_.data(), password_.size());
}

bool ZipArchiver::Unpacker::Acquire(size_t k, Block& block) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[k];
    auto go = [&] {
        return stop_ || slot.dropped || held_ + kBlock <= kBudget ||
               (k == current_ && slot.ready.size() < kHeadBlocks);
    };
    if (!go()) {
        ++workersWaiting_;
        slot.waiting = true;
        workerWake_.wait(lock, go);
        slot.waiting = false;
        --workersWaiting_;
    }
    if (stop_ || slot.dropped) return false;
    held_ += kBlock;
    block.size = 0;
    if (!pool_.empty()) {
        block.bytes = std::move(pool_.back());
        pool_.pop_back();
        return true;
    }
    lock.unlock();
    block.bytes.reset(new uint8_t[kBlock]);
    return true;
}

void ZipArchiver::Unpacker::Publish(size_t k, Block block, bool last, bool done) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot& slot = slots_[k];
        if (block.bytes) {
            if (slot.dropped || (last && !done) || block.size == 0) Recycle(std::move(block));
            else slot.ready.push_back(std::move(block));
        }
        if (last) {
            slot.state = done ? State::Done : State::Left;
            if (!done) Drop(slot);
        }
        wake = writerWaiting_ && k == current_;
    }
    if (wake) writerWake_.notify_one();
}

void ZipArchiver::Unpacker::Recycle(Block block) {
    held_ -= kBlock;
    pool_.push_back(std::move(block.bytes));
}

void ZipArchiver::Unpacker::WakeWorkers(std::unique_lock<std::mutex>& lock, bool always) {
    // Waiting workers are woken when the member they hold became the one the
    // writer is at, or when the writer is about to wait itself; for the
    // budget only once half of it is free again, so that they then work
    // through many members instead of waking for each one.
    const bool wake = workersWaiting_ > 0 &&
                      (always || held_ <= kBudget / 2 || (current_ < slots_.size() && slots_[current_].waiting));
    lock.unlock();
    if (wake) workerWake_.notify_all();
}

void ZipArchiver::Unpacker::Work(ZipArchiver& reader) {
    for (;;) {
        size_t k;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_ || next_ >= slots_.size()) break;
            k = next_++;
        }
        bool done = false;
        Block block;
        if (slots_[k].size > 0) {  // fixed since construction
            // The next free bytes of the member's blocks: inflate writes there
            // directly; stored data is copied in.
            auto room = [&](size_t& length) -> uint8_t* {
                if (!block.bytes || block.size == kBlock) {
                    if (block.bytes) Publish(k, std::move(block), false, false);
                    block = Block();
                    if (!Acquire(k, block)) throw EZipError(zeDiskFull);
                }
                length = kBlock - block.size;
                return block.bytes.get() + block.size;
            };
            auto sink = [&](const uint8_t* p, size_t n) -> Result<void> {
                while (n > 0) {
                    size_t length;
                    uint8_t* at = room(length);
                    size_t take = std::min(n, length);
                    if (at != p) std::memcpy(at, p, take);
                    block.size += take;
                    p += take;
                    n -= take;
                }
                return Result<void>();
            };
            try {
                done = reader.ReadMemberData(members_[k], sink, room);
            } catch (const std::exception&) {
                done = false;
            }
        }
        Publish(k, std::move(block), true, done);
    }
}

bool ZipArchiver::Unpacker::Write(size_t k, const std::string& password, const Sink& write) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[k];
    if (current_ != k) {
        current_ = k;
        WakeWorkers(lock);
        lock.lock();
    }
    // Data read with another password is not what one thread would give;
    // a retry reads the member again.
    if (slot.dropped || slot.taken || password != password_) {
        Drop(slot);
        WakeWorkers(lock);
        return false;
    }
    slot.taken = true;
    for (;;) {
        auto go = [&] {
            return !slot.ready.empty() || slot.state != State::Pending ||
                   running_ == 0;
        };
        if (!go()) {
            WakeWorkers(lock, true);
            lock.lock();
            writerWaiting_ = true;
            writerWake_.wait(lock, go);
            writerWaiting_ = false;
        }
        if (slot.ready.empty()) {
            if (slot.state == State::Done) return true;
            Drop(slot);
            WakeWorkers(lock);
            return false;
        }
        Block block = std::move(slot.ready.front());
        slot.ready.pop_front();
        lock.unlock();
        Result<void> written = write(block.bytes.get(), block.size);
        lock.lock();
        Recycle(std::move(block));
        if (!written) {
            Drop(slot);
            WakeWorkers(lock, true);
            throw EZipError(zeDiskFull, L"", written.error().native);
        }
    }
}

void ZipArchiver::Unpacker::Quit() {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = --running_ == 0 && writerWaiting_;
    }
    if (wake) writerWake_.notify_one();
}

void ZipArchiver::Unpacker::Drop(Slot& slot) {
    slot.dropped = true;
    for (Block& b : slot.ready) Recycle(std::move(b));
    slot.ready.clear();
}

void ZipArchiver::Unpacker::Release(size_t k) {
    std::unique_lock<std::mutex> lock(mutex_);
    Drop(slots_[k]);
    if (current_ <= k) current_ = k + 1;
    WakeWorkers(lock, slots_[k].waiting);
}

}  // namespace bv
