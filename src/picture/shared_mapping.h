#pragma once

#include <sys/mman.h>

#include <cstddef>

namespace zelvo {

// A worker's mapping of shared memory, for reading or also for writing,
// unmapped when it goes; pixels() is null when it could not be mapped.
class SharedMapping {
public:
    SharedMapping(int memory, std::size_t bytes, bool writable = true)
        : bytes_(bytes),
          pixels_(mmap(nullptr, bytes, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, memory, 0)) {}
    ~SharedMapping() {
        if (pixels_ != MAP_FAILED) munmap(pixels_, bytes_);
    }
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    unsigned char* pixels() const { return pixels_ == MAP_FAILED ? nullptr : static_cast<unsigned char*>(pixels_); }

private:
    std::size_t bytes_;
    void* pixels_;
};

}  // namespace zelvo
