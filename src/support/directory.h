#pragma once

#include <dirent.h>

#include <memory>

namespace zelvo {

// Owns one open directory stream.
struct DirectoryClose {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};
using DirectoryPtr = std::unique_ptr<DIR, DirectoryClose>;

}  // namespace zelvo
