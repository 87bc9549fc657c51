#include "support/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/process.h"

namespace zelvo {

std::optional<std::string> read_regular_file(const char* path, std::size_t most) {
    // Opening a FIFO for reading waits for a writer and a terminal may become
    // the controlling one: neither happens with these flags, and the type is
    // checked on what was opened, not on what the path named a moment before.
    const UniqueDescriptor file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    struct stat status{};
    if (fstat(file.get(), &status) != 0) return std::nullopt;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return std::nullopt;
    }
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

}  // namespace zelvo
