#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zelvo {

// The whole content of a regular file, read without ever blocking on what a
// path may lead to: a FIFO, a terminal or a device is not opened for reading
// at all. None, with errno set, when the file cannot be read to its end:
// EINVAL when the path leads to no regular file, EFBIG when the file holds
// more than `most` bytes, else the error of the failing call.
std::optional<std::string> read_regular_file(const char* path, std::size_t most);

// Whether the path, its links followed, leads to a regular file.
bool is_regular_file(const char* path);

// Whether the path leads to a regular file whose content is not wrapped in
// gzip, bzip2, xz, zstd or compress: MagickCore unwraps the first two by
// itself whatever the file is called, and a wrapper is no wallpaper. Checked
// on what was opened, without blocking on what the path may lead to.
bool is_plain_file(const char* path);

}  // namespace zelvo
