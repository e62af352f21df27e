// Where an archive's bytes come from: its file, or bytes held in memory
// (tests, the fuzz target), read through the same calls so that one reader
// serves both.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace bv::zip {

class Source {
public:
    bool Open(const std::wstring& path, fs::FileMode mode) {
        memory_ = {};
        inMemory_ = false;
        return file_.Open(path, mode);
    }
    // Reads `bytes`, which the caller keeps unchanged until Close.
    void OpenMemory(std::string_view bytes) {
        file_.Close();
        memory_ = bytes;
        position_ = 0;
        inMemory_ = true;
    }
    bool InMemory() const { return inMemory_; }
    std::string_view Memory() const { return memory_; }
    bool Close() {
        if (inMemory_) {
            inMemory_ = false;
            memory_ = {};
            return true;
        }
        return file_.Close();
    }

    // As fs::File's: the count read (short at the end), or -1.
    int64_t ReadFull(void* buffer, size_t size) {
        if (!inMemory_) return file_.ReadFull(buffer, size);
        if (position_ >= memory_.size()) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(size, memory_.size() - position_));
        if (n > 0) std::memcpy(buffer, memory_.data() + position_, n);
        position_ += n;
        return static_cast<int64_t>(n);
    }
    // A position past the end is allowed, as in a file; reads there find nothing.
    bool Seek(uint64_t position) {
        if (!inMemory_) return file_.Seek(position);
        position_ = position;
        return true;
    }
    int64_t Size() { return inMemory_ ? static_cast<int64_t>(memory_.size()) : file_.Size(); }
    // Writing is for archive files only.
    bool Write(const void* buffer, size_t size) { return !inMemory_ && file_.Write(buffer, size); }
    bool Truncate() { return !inMemory_ && file_.Truncate(); }
    uint32_t LastError() const { return inMemory_ ? 0 : file_.LastError(); }

private:
    fs::File file_;
    std::string_view memory_;
    uint64_t position_ = 0;
    bool inMemory_ = false;
};

}  // namespace bv::zip
