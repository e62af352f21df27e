// Extraction on worker threads: the members one extraction chose are read,
// decrypted, inflated and checked by workers, each with its own handle on
// the archive, while the writer (the extracting thread) writes their data
// into files in member order as it comes.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/zip_archiver.h"

namespace bv {

// Data travels from a worker to the writer in blocks of kBlock bytes
// while the worker is still inflating, so a member of any size goes through
// without being held whole. The blocks are recycled: fresh memory would cost
// a page fault for every page, member after member. At most kBudget bytes of
// blocks are held ahead of the writer, plus a few for the member it is
// writing, so memory stays bounded whatever the members' sizes.
//
// A worker asks nothing: a member that fails or needs another password is
// left to the writer, which then reads it itself, meets the failure (and asks
// its questions) in order, just as on one thread.
class ZipArchiver::Unpacker {
public:
    static constexpr size_t kBlock = 256u << 10;
    static constexpr uint64_t kBudget = 32u << 20;

    Unpacker(const ZipArchiver& owner, std::vector<size_t> members, unsigned threads);
    ~Unpacker();
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Writes the k-th chosen member's data through `write` as the workers
    // make it. True when all of it was written; false when the writer must
    // read the member itself (the worker failed, was not given the member,
    // or read it with another password than `password`), in which case
    // whatever was written must be thrown away. A failure of `write` is
    // raised as a full disk.
    bool Write(size_t k, const std::string& password, const Sink& write);
    // The writer is done with the k-th member: what is left of it is dropped.
    void Release(size_t k);

private:
    struct Block {
        std::unique_ptr<uint8_t[]> bytes;  // kBlock bytes
        size_t size = 0;
    };
    enum class State : uint8_t { Pending, Done, Left };  // Pending: not taken or not finished
    struct Slot {
        std::deque<Block> ready;
        State state = State::Pending;
        bool dropped = false;  // by the writer: what is left of it is thrown away
        bool taken = false;    // the writer has streamed it (once only)
        bool waiting = false;  // its worker waits for a block
        uint64_t size = 0;  // the recorded size; 0 leaves the member to the writer
    };
    class Silent;

    void Work(ZipArchiver& reader);
    // A worker is done, with all members or because it could not start.
    void Quit();
    // A block for the k-th member, once the budget allows; false when the
    // member was dropped or work stops.
    bool Acquire(size_t k, Block& block);
    // Hands a filled block to the writer; the `last` one also tells whether
    // the member was `done`, or is left to the writer.
    void Publish(size_t k, Block block, bool last, bool done);
    // Gives a block back to the pool and the budget (lock held).
    void Recycle(Block block);
    // Throws away what a member has and will have (lock held).
    void Drop(Slot& slot);
    // Unlocks, then wakes the workers waiting for a block if they may go on
    // (or `always`).
    void WakeWorkers(std::unique_lock<std::mutex>& lock, bool always = false);

    std::unique_ptr<Silent> silent_;
    std::string password_;
    std::vector<size_t> members_;
    std::mutex mutex_;
    std::condition_variable writerWake_;  // the writer waits for its member's data
    std::condition_variable workerWake_;  // workers wait for the budget
    bool writerWaiting_ = false;
    unsigned workersWaiting_ = 0;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<uint8_t[]>> pool_;  // spare blocks
    uint64_t held_ = 0;   // bytes of the blocks handed out and not recycled
    size_t next_ = 0;     // the next member a worker takes
    size_t current_ = 0;  // the member the writer is at
    unsigned running_ = 0;  // workers not yet done
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace bv
