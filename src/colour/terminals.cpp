#include "colour/terminals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/directory.h"
#include "process/process.h"

namespace zelvo {

namespace {

constexpr const char* terminal_folder = "/dev/pts";

bool is_number(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

bool is_users_terminal(const struct stat& status, uid_t user) {
    return S_ISCHR(status.st_mode) && status.st_uid == user;
}

}  // namespace

void send_to_terminals(std::string_view text) {
    UniqueDescriptor folder(open(terminal_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) return;
    DirectoryPtr listing(fdopendir(folder.get()));
    if (!listing) return;
    folder.release();  // the stream owns it now
    const int place = dirfd(listing.get());
    const uid_t user = geteuid();
    int reached = 0;
    while (reached < most_terminals) {
        const dirent* entry = readdir(listing.get());
        if (entry == nullptr) break;
        struct stat before{};
        // Looked at before it is opened: another user's device is never opened at all.
        if (!is_number(entry->d_name) || fstatat(place, entry->d_name, &before, AT_SYMLINK_NOFOLLOW) != 0 ||
            !is_users_terminal(before, user))
            continue;
        ++reached;
        const UniqueDescriptor terminal(
            openat(place, entry->d_name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat after{};
        // What was opened must still be what was looked at: a terminal, the same device, the user's.
        if (terminal.get() < 0 || fstat(terminal.get(), &after) != 0 || !is_users_terminal(after, user) ||
            after.st_rdev != before.st_rdev || isatty(terminal.get()) == 0)
            continue;
        // A terminal that takes nothing now would block: it goes without this time.
        [[maybe_unused]] const ssize_t written = write(terminal.get(), text.data(), text.size());
    }
}

}  // namespace zelvo
