#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace zelvo {

// Replaces the file at `path` whole with `content`, so that a reader sees the
// old file or the new one and never half of one, and a full disk leaves the
// old one standing: the content goes to a new temporary file in the same
// directory, which is renamed over the old one once it is complete. Nothing
// is opened that could block: only a regular file (or none) is replaced, and
// a FIFO, a device or a directory in its place is left alone. A symbolic link
// stays a link (a dotfile manager's): the file it leads to is replaced. A file
// that is replaced keeps its permissions. Nothing when done; else why not.
std::optional<std::string> replace_file(const std::string& path, std::string_view content);

// Replaces the entry `name` of the folder open at `folder` whole with
// `content`, through a temporary file beside it that is renamed over it:
// whatever stands at that name, a symbolic link included, is replaced, never
// written through. A regular file that is replaced keeps its permissions; a
// new one gets `mode`, less the umask. Nothing when done; else why not.
std::optional<std::string> replace_entry(int folder, const std::string& name, std::string_view content,
                                         mode_t mode);

}  // namespace zelvo
