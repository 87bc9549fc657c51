#include "support/publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "process/process.h"

namespace zelvo {

namespace {

// More links than this in a row are a loop, as the system counts them.
constexpr int most_links = 40;

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string why(int error) { return std::string(std::strerror(error)); }

// The file that a write to `path` reaches, its links followed one by one,
// and its mode when it exists; none, with the reason, when it is no regular file.
std::optional<std::string> follow_links(std::string& path, std::optional<mode_t>& mode) {
    for (int links = 0; links <= most_links; ++links) {
        struct stat status{};
        if (lstat(path.c_str(), &status) != 0) {
            if (errno == ENOENT) return std::nullopt;
            return why(errno);
        }
        if (S_ISREG(status.st_mode)) {
            mode = status.st_mode & 07777;
            return std::nullopt;
        }
        if (!S_ISLNK(status.st_mode)) return std::string("not a regular file");
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = readlink(path.c_str(), target.data(), PATH_MAX);
        if (length < 0) return why(errno);
        const std::string leads_to(target.data(), static_cast<std::size_t>(length));
        path = leads_to.front() == '/' ? leads_to : directory_of(path) + "/" + leads_to;
    }
    return why(ELOOP);
}

}  // namespace

std::optional<std::string> replace_file(const std::string& path, std::string_view content) {
    std::string target = path;
    std::optional<mode_t> mode;
    if (std::optional<std::string> refused = follow_links(target, mode)) return refused;
    std::string temporary = directory_of(target) + "/." + target.substr(target.rfind('/') + 1) + ".XXXXXX";
    UniqueDescriptor file(mkstemp(temporary.data()));
    if (file.get() < 0) return why(errno);
    fcntl(file.get(), F_SETFD, FD_CLOEXEC);
    if (!mode) {
        // A new file gets what a plain creation would give it.
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    int error = fchmod(file.get(), *mode) == 0 ? 0 : errno;
    if (error == 0 && !write_all(file.get(), content)) error = errno;
    if (close(file.release()) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error == 0) return std::nullopt;
    unlink(temporary.c_str());
    return why(error);
}

std::optional<std::string> replace_entry(int folder, const std::string& name, std::string_view content,
                                         mode_t mode) {
    struct stat existing{};
    const bool replaces_file = fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISREG(existing.st_mode);
    // A name of its own for each attempt; O_EXCL makes it this call's alone.
    static std::uint64_t made = 0;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string temporary;
    UniqueDescriptor file;
    for (int attempt = 0; attempt < 16 && file.get() < 0; ++attempt) {
        const std::uint64_t mixed = (now ^ static_cast<std::uint64_t>(getpid()) << 40) + ++made * 0x9e3779b97f4a7c15ULL;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(mixed >> 16));
        temporary = std::string(".zelvo-") + suffix + ".tmp";
        file.reset(openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (file.get() < 0 && errno != EEXIST) return why(errno);
    }
    if (file.get() < 0) return why(EEXIST);
    int error = 0;
    if (replaces_file && fchmod(file.get(), existing.st_mode & 07777) != 0) error = errno;
    if (error == 0 && !write_all(file.get(), content)) error = errno;
    if (close(file.release()) != 0 && error == 0) error = errno;
    if (error == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) error = errno;
    if (error == 0) return std::nullopt;
    unlinkat(folder, temporary.c_str(), 0);
    return why(error);
}

}  // namespace zelvo
