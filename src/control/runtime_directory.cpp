#include "control/runtime_directory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "control/above_standard.h"

namespace zelvo {

namespace {

// Why an open directory cannot hold the lock: empty when it can.
std::string unsafe_because(int descriptor) {
    struct stat status{};
    if (fstat(descriptor, &status) != 0) return std::strerror(errno);
    if (!S_ISDIR(status.st_mode)) return std::strerror(ENOTDIR);
    char reason[96];
    if (status.st_uid != getuid()) {
        std::snprintf(reason, sizeof reason, "it belongs to user %u, not to user %u",
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(getuid()));
        return reason;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::snprintf(reason, sizeof reason, "others may write to it (mode %04o)",
                      static_cast<unsigned>(status.st_mode & 07777));
        return reason;
    }
    return "";
}

std::string failure(int error) {
    return error == ELOOP ? "it is a symbolic link" : std::strerror(error);
}

}  // namespace

RuntimePlace runtime_place(const char* xdg_runtime_dir, const std::string& home) {
    if (xdg_runtime_dir != nullptr && *xdg_runtime_dir != '\0') return {xdg_runtime_dir, "zelvo", false};
    return {home + "/.zelvo", "run", true};
}

RuntimeDirectory open_runtime_directory(const RuntimePlace& place, bool create) {
    RuntimeDirectory directory;
    directory.path_ = place.base + "/" + place.folder;
    // The per-user directory is made as the configuration's loader makes it;
    // a session's runtime directory is never made here.
    if (create && place.in_home) mkdir(place.base.c_str(), 0777);
    const UniqueDescriptor base(above_standard(open(place.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (base.get() < 0) {
        const int error = errno;
        // No ~/.zelvo: no daemon ever ran here. A session's missing runtime directory is a fault.
        directory.absent_ = place.in_home && error == ENOENT;
        directory.problem_ = place.base + ": " + failure(error);
        return directory;
    }
    if (std::string why = unsafe_because(base.get()); !why.empty()) {
        directory.problem_ = place.base + ": " + why;
        return directory;
    }
    if (create && mkdirat(base.get(), place.folder.c_str(), 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        directory.problem_ = directory.path_ + ": " + failure(error);
        return directory;
    }
    UniqueDescriptor folder(
        above_standard(openat(base.get(), place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
    if (folder.get() < 0) {
        const int open_error = errno;
        // Systems tell a link met by O_NOFOLLOW by different numbers.
        struct stat link{};
        const bool is_link = fstatat(base.get(), place.folder.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                             S_ISLNK(link.st_mode);
        const int error = is_link ? ELOOP : open_error;
        directory.absent_ = error == ENOENT;
        directory.problem_ = directory.path_ + ": " + failure(error);
        return directory;
    }
    if (std::string why = unsafe_because(folder.get()); !why.empty()) {
        directory.problem_ = directory.path_ + ": " + why;
        return directory;
    }
    directory.descriptor_ = std::move(folder);
    return directory;
}

std::string display_file_name(const std::string& display) {
    std::string name;
    for (std::size_t at = 0; at < display.size(); ++at) {
        const unsigned char byte = static_cast<unsigned char>(display[at]);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == ':' || byte == '_' || byte == '-' ||
                           (byte == '.' && at > 0);
        if (plain) {
            name += static_cast<char>(byte);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            name += escaped;
        }
    }
    return name;
}

}  // namespace zelvo
