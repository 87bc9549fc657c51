#include "support/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process/process.h"

namespace zelvo {

namespace {

// Opens the path for reading without waiting for a FIFO's writer or taking a
// terminal as the controlling one; none unless it is a regular file.
UniqueDescriptor open_regular_file(const char* path, struct stat& status) {
    UniqueDescriptor file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return file;
    if (fstat(file.get(), &status) != 0) return UniqueDescriptor();
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return UniqueDescriptor();
    }
    return file;
}

}  // namespace

std::optional<std::string> read_regular_file(const char* path, std::size_t most) {
    // The type is checked on what was opened, not on what the path named a moment before.
    struct stat status{};
    const UniqueDescriptor file = open_regular_file(path, status);
    if (file.get() < 0) return std::nullopt;
    if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > most) {
        errno = EFBIG;
        return std::nullopt;
    }
    std::string text;
    text.resize(static_cast<std::size_t>(status.st_size));
    std::size_t filled = 0;
    for (;;) {
        // A file that grows while it is read is still held to the limit.
        if (filled == text.size()) text.resize(text.size() + 4096);
        const ssize_t got = read(file.get(), text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
        if (filled > most) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
    text.resize(filled);
    return text;
}

bool is_regular_file(const char* path) {
    struct stat status{};
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool is_plain_file(const char* path) {
    struct stat status{};
    const UniqueDescriptor file = open_regular_file(path, status);
    if (file.get() < 0) return false;
    unsigned char head[6] = {};
    ssize_t got = -1;
    while ((got = pread(file.get(), head, sizeof head, 0)) < 0 && errno == EINTR) {
    }
    if (got < 0) return false;
    const auto starts = [&](std::initializer_list<unsigned char> magic) {
        return static_cast<std::size_t>(got) >= magic.size() && std::equal(magic.begin(), magic.end(), head);
    };
    return !(starts({0x1f, 0x8b}) || starts({'B', 'Z', 'h'}) || starts({0xfd, '7', 'z', 'X', 'Z', 0x00}) ||
             starts({0x28, 0xb5, 0x2f, 0xfd}) || starts({0x1f, 0x9d}));
}

}  // namespace zelvo
