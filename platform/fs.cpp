// The parts of the file service that are the same on every system: moving
// an open file, and reading until a count is met.
#include "platform/fs.h"

namespace bv::fs {

File::~File() { (void)Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        (void)Close();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

Result<size_t> File::ReadFull(void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        Result<size_t> n = Read(static_cast<char*>(buffer) + done, size - done);
        if (!n) return n;
        if (n.value() == 0) break;
        done += n.value();
    }
    return done;
}

}  // namespace bv::fs
