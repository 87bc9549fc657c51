#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "images/string_list.h"
#include "support/config_file.h"

namespace zelvo {

enum SourceKind {
    SOURCE_DIRECTORY = 0,
    SOURCE_IMAGE = 1,
    SOURCE_LIST_FILE = 2,
    SOURCE_SKIPPED = 3,
};

// Turns sources (directories, images, URLs, list files) into the linear list
// of image entries, depth first; an empty list when no image was found.
StringList expand_sources(const StringNode* sources);

SourceKind classify_source(const char* source);

// What the file system alone tells of a source: skipped, a directory, or a
// URL (SOURCE_IMAGE); none for a regular file, which only a ping can tell.
std::optional<SourceKind> classify_by_file_system(const char* source);

// Whether a path that does not exist reads as a URL.
bool source_is_url(const char* source);

// The directory's entries, "." and ".." left out, as resolved absolute paths
// in directory-stream order; an empty list when there is none.
StringList list_directory(const char* directory);

// directory + "/" + name, resolved; nothing when it cannot be resolved.
std::optional<std::string> join_and_resolve(const char* name, const char* directory);

// The longest source that a list file may name: no path comes near it, and a
// list file that names a longer one contributes nothing.
inline constexpr std::size_t most_source_bytes = std::size_t{64} << 10;

// The sources that a list file names, in order, pointing into the parsed file
// that owns them.
struct ListFileSources {
    std::unique_ptr<ConfigFile> file;
    std::vector<const char*> sources;
};

// Parses a list file, in time linear in its size. None when the file cannot
// be read whole, is larger than 32 MiB, holds a NUL byte or an include, cannot
// be parsed, misses its named setting, or names a source longer than
// most_source_bytes.
std::optional<ListFileSources> parse_list_file(const char* path);

// The sources that a list file names (maybe a bare placeholder); none when
// parse_list_file gives none.
std::optional<StringList> read_list_file(const char* path);

// SOURCE_IMAGE when MagickCore recognises the file, by its first frame, as a
// format that feh shows; else SOURCE_LIST_FILE. Not for the daemon itself:
// expansion asks its prober.
SourceKind ping_image(const char* path);

}  // namespace zelvo
