#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>

namespace zelvo {

// The file a path leads to, links followed: two paths that name the same
// file another way (a linked folder, "..", another list's spelling) give the same.
struct FileInode {
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const FileInode&) const = default;
};

inline std::optional<FileInode> file_inode(const char* path) {
    struct stat status{};
    if (stat(path, &status) != 0) return std::nullopt;
    return FileInode{status.st_dev, status.st_ino};
}

struct FileInodeHash {
    std::size_t operator()(const FileInode& file) const noexcept {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(file.inode) * 1000003u ^
                                               static_cast<unsigned long long>(file.device));
    }
};

}  // namespace zelvo
