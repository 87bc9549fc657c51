#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace zelvo {

// Owns one open descriptor and closes it once; -1 owns none.
class UniqueDescriptor {
public:
    UniqueDescriptor() = default;
    explicit UniqueDescriptor(int descriptor) : descriptor_(descriptor) {}
    UniqueDescriptor(UniqueDescriptor&& other) noexcept : descriptor_(other.release()) {}
    UniqueDescriptor& operator=(UniqueDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
    ~UniqueDescriptor() { reset(); }

    int get() const { return descriptor_; }
    int release() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor;
    }
    void reset(int descriptor = -1) {
        if (descriptor_ >= 0) close(descriptor_);
        descriptor_ = descriptor;
    }

private:
    int descriptor_ = -1;
};

// Forks with every signal blocked, and gives the child the default
// dispositions back before it unblocks them. Gives the child's pid, 0 in the
// child, or -1 with errno set.
pid_t fork_child();

}  // namespace zelvo
