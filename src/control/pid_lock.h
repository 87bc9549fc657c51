#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <variant>

#include "control/runtime_directory.h"
#include "process/process.h"

namespace zelvo {

// The pid file of a display in the runtime directory: its display's file
// name followed by ".pid".
std::string pid_file_name(const std::string& display);

// The exclusive lock on a display's pid file, taken with flock(2): unlike a
// POSIX record lock it belongs to the open file, not to the process, so it
// lasts through the forks of detaching for as long as any process keeps the
// descriptor open. The descriptor is close-on-exec: no program the daemon
// starts keeps the lock.
class PidLock {
public:
    PidLock() = default;
    explicit PidLock(UniqueDescriptor file) : file_(std::move(file)) {}

    int descriptor() const { return file_.get(); }
    // Makes the pid the file's whole content, as one line; false when it
    // could not be written.
    bool write_pid(pid_t pid) const;
    // Leaves the file empty, for the end of the daemon.
    void clear() const;

private:
    UniqueDescriptor file_;
};

// Another process holds the lock; its pid when the file names one.
struct LockHeld {
    std::optional<pid_t> pid;
};

// The pid file cannot be opened or locked: the file and why, as "PATH: reason".
struct LockRefused {
    std::string problem;
};

using LockAttempt = std::variant<PidLock, LockHeld, LockRefused>;

// Takes the lock of the display's pid file, creating the file when missing.
// A file whose lock nobody holds is taken over whatever it holds; one that is
// a symbolic link or no regular file is replaced without being followed. Its
// pid is never signalled, only ever trusted while its lock is held.
LockAttempt take_pid_lock(const RuntimeDirectory& directory, const std::string& display);

// A running daemon as zelvoctl finds it: the pid in a pid file whose lock is
// held, and the open file, to see when it lets go.
struct LockedPid {
    pid_t pid = 0;
    UniqueDescriptor file;
};

// The daemon of the display, or none when its pid file is missing, is no
// regular file, is not locked or names no pid. Creates and changes nothing.
std::optional<LockedPid> find_locked_pid(const RuntimeDirectory& directory, const std::string& display);

// Whether the lock on the open pid file has been let go.
bool pid_lock_released(const LockedPid& daemon);

// The pid that a pid file's text names: decimal digits, one line, above 0.
std::optional<pid_t> parse_pid(const std::string& text);

}  // namespace zelvo
