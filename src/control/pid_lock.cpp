#include "control/pid_lock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "control/above_standard.h"

namespace zelvo {

namespace {

// How often a start looks again at a lock that names no live process, and
// how long it waits between looks: a zelvoctl that finds no daemon holds the
// lock of a stale file for a moment.
constexpr int most_attempts = 10;
constexpr long attempt_pause_ns = 5'000'000;

std::string text_of(int file) {
    char bytes[32];
    const ssize_t got = pread(file, bytes, sizeof bytes, 0);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}

// Whether a process of that pid exists; asks only, sends nothing.
bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

void pause_briefly() {
    const timespec pause{0, attempt_pause_ns};
    nanosleep(&pause, nullptr);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

std::string pid_file_name(const std::string& display) { return display_file_name(display) + ".pid"; }

bool PidLock::write_pid(pid_t pid) const {
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%ld\n", static_cast<long>(pid));
    // Written before the rest is cut: a full file system that has no block
    // for the line fails the write, not a truncation that leaves no pid.
    return pwrite(file_.get(), line, static_cast<std::size_t>(length), 0) == length &&
           ftruncate(file_.get(), length) == 0;
}

void PidLock::clear() const {
    // The daemon ends either way: an empty file only spares a reader a pid
    // that the released lock no longer vouches for.
    if (ftruncate(file_.get(), 0) != 0) {
    }
}

LockAttempt take_pid_lock(const RuntimeDirectory& directory, const std::string& display) {
    const std::string name = pid_file_name(display);
    const std::string path = directory.path() + "/" + name;
    const int folder = directory.descriptor();
    for (int attempt = 1;; ++attempt) {
        UniqueDescriptor file(above_standard(
            openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600)));
        struct stat opened{};
        if (file.get() < 0 || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
            const int error = file.get() < 0 ? errno : EINVAL;
            // A symbolic link (which O_NOFOLLOW refuses with ELOOP, or EMLINK
            // on FreeBSD), a FIFO or a device in its place is removed, never
            // followed or read; a directory is left alone.
            struct stat named{};
            const bool link = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(named.st_mode);
            if (attempt < most_attempts && (link || error == EINVAL) && unlinkat(folder, name.c_str(), 0) == 0)
                continue;
            return LockRefused{path + ": " + (error == EINVAL ? "not a regular file" : std::strerror(error))};
        }
        if (flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            // Locked: but a start that replaced the file meanwhile may have
            // locked the new one, and only the file under the name counts.
            struct stat named{};
            if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, opened)) {
                if (ftruncate(file.get(), 0) != 0) return LockRefused{path + ": " + std::strerror(errno)};
                return PidLock(std::move(file));
            }
            if (attempt < most_attempts) continue;
            return LockRefused{path + ": it is replaced again and again"};
        }
        if (errno != EWOULDBLOCK) return LockRefused{path + ": " + std::strerror(errno)};
        const std::optional<pid_t> holder = parse_pid(text_of(file.get()));
        if ((holder && process_exists(*holder)) || attempt >= most_attempts) return LockHeld{holder};
        pause_briefly();
    }
}

std::optional<LockedPid> find_locked_pid(const RuntimeDirectory& directory, const std::string& display) {
    UniqueDescriptor file(openat(directory.descriptor(), pid_file_name(display).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened{};
    if (file.get() < 0 || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return std::nullopt;
    // A lock that can be shared is held by nobody: the pid, if any, is stale.
    if (flock(file.get(), LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) return std::nullopt;
    const std::optional<pid_t> pid = parse_pid(text_of(file.get()));
    if (!pid) return std::nullopt;
    return LockedPid{*pid, std::move(file)};
}

bool pid_lock_released(const LockedPid& daemon) {
    if (flock(daemon.file.get(), LOCK_SH | LOCK_NB) != 0) return false;
    flock(daemon.file.get(), LOCK_UN);
    return true;
}

std::optional<pid_t> parse_pid(const std::string& text) {
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    if (end == 0 || end > 10) return std::nullopt;
    long long value = 0;
    for (std::size_t at = 0; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') return std::nullopt;
        value = value * 10 + (text[at] - '0');
    }
    if (value <= 0 || value > INT_MAX) return std::nullopt;
    return static_cast<pid_t>(value);
}

}  // namespace zelvo
