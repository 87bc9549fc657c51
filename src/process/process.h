#pragma once

#include <cerrno>
#include <csignal>
#include <string_view>
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

// Writes all of `bytes`, again after an interrupted or partial write; false
// with errno set when the descriptor takes no more. Inline, like what
// follows, for zelvoctl's library, which links none of this one.
inline bool write_all(int descriptor, std::string_view bytes) {
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t put = write(descriptor, bytes.data() + written, bytes.size() - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        written += static_cast<std::size_t>(put);
    }
    return true;
}

// The signal that makes the daemon show the previous wallpaper again: the
// first real-time signal, which carries no meaning of its own. Inline, so
// that zelvoctl names the same one without linking this library.
inline int previous_signal() { return SIGRTMIN; }

// Holds back SIGUSR1, SIGUSR2 and the previous signal from the start until
// the loop takes them over: their default action would end the daemon, and
// once held they wait for the loop instead.
void hold_steering_signals();
void release_steering_signals();

// Holds back every signal the daemon takes, for good, once its loop has
// ended: as the loop's events go, their default actions come back, and a
// SIGTERM sent after zelvoctl quit (or a SIGUSR1) would end the daemon half
// way through letting go of its files and its lock.
void hold_daemon_signals();

// What a child does with the signals that steer the daemon: a child that
// execs takes the defaults; one that runs the daemon's own code ignores them.
enum class DaemonSignals { take_defaults, ignore };

// Forks with every signal blocked, and gives the child the dispositions
// chosen before it unblocks them. Gives the child's pid, 0 in the child, or
// -1 with errno set.
pid_t fork_child(DaemonSignals signals = DaemonSignals::take_defaults);

}  // namespace zelvo
