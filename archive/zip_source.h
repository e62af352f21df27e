// Where an archive's bytes come from: its file, or bytes held in memory
// (tests, the fuzz target), read through the same calls so that one reader
// serves both.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/fs.h"

namespace bv::zip {

class Source {
public:
    Result<void> Open(const std::wstring& path, fs::FileMode mode) {
        memory_ = {};
        inMemory_ = false;
        return file_.Open(path, mode);
    }
    // Reads `bytes`, which the caller keeps unchanged until Close.
    void OpenMemory(std::string_view bytes) {
        (void)file_.Close();
        memory_ = bytes;
        position_ = 0;
        inMemory_ = true;
    }
    bool InMemory() const { return inMemory_; }
    std::string_view Memory() const { return memory_; }
    Result<void> Close() {
        if (inMemory_) {
            inMemory_ = false;
            memory_ = {};
            return {};
        }
        return file_.Close();
    }

    // As fs::File's: the count read (short at the end).
    Result<size_t> ReadFull(void* buffer, size_t size) {
        if (!inMemory_) return file_.ReadFull(buffer, size);
        if (position_ >= memory_.size()) return size_t{0};
        size_t n = static_cast<size_t>(std::min<uint64_t>(size, memory_.size() - position_));
        if (n > 0) std::memcpy(buffer, memory_.data() + position_, n);
        position_ += n;
        return n;
    }
    // A position past the end is allowed, as in a file; reads there find nothing.
    Result<void> Seek(uint64_t position) {
        if (!inMemory_) return file_.Seek(position);
        position_ = position;
        return {};
    }
    Result<uint64_t> Size() {
        if (inMemory_) return static_cast<uint64_t>(memory_.size());
        return file_.Size();
    }
    // Writing is for archive files only: bytes in memory refuse it with no
    // system code.
    Result<void> Write(const void* buffer, size_t size) {
        if (inMemory_) return Error{};
        return file_.Write(buffer, size);
    }
    Result<void> Truncate() {
        if (inMemory_) return Error{};
        return file_.Truncate();
    }
    // Reads exactly `size` bytes at `position`; bytes that run out first
    // are an error with no system code.
    Result<void> ReadAt(uint64_t position, void* buffer, size_t size) {
        Result<void> sought = Seek(position);
        if (!sought) return sought;
        Result<size_t> got = ReadFull(buffer, size);
        if (!got) return got.error();
        if (got.value() != size) return Error{};
        return {};
    }

private:
    fs::File file_;
    std::string_view memory_;
    uint64_t position_ = 0;
    bool inMemory_ = false;
};

}  // namespace bv::zip
