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

// What an expansion takes into account beyond its sources.
struct ExpandOptions {
    // The home directory that "~/" at the start of a list file's entry
    // stands for; without one such an entry is taken as it is written.
    std::optional<std::string> home;
    // The list file of banned images: none of them is taken, whether an
    // entry names it or its real path does.
    std::optional<std::string> banned_file;
    // The images in the byte order of their entries, not in the order found.
    bool by_name = false;
};

// Turns sources (directories, images, URLs, list files) into the linear list
// of image entries, depth first; an empty list when no image was found.
StringList expand_sources(const StringNode* sources, const ExpandOptions& options = {});

// The images that a list file of banned images names: none when the file
// does not exist; when it cannot be read, none too, after a line that says why.
std::vector<std::string> read_banned_images(const std::string& path);

// Whether each file would be taken as an image if a source named it: a
// regular file, given by its absolute path, of a format that feh shows, as
// the prober tells. For each an empty text when it would, else why not.
std::vector<std::string> check_image_files(const std::vector<std::string>& files);

// "~/" at the start of a path stands for the home directory; any other path is taken as it is.
std::string home_path(const std::string& path, const std::string& home);

SourceKind classify_source(const char* source);

// What the file system alone tells of a source: skipped, a directory, or a
// URL (SOURCE_IMAGE); none for a regular file, which only a ping can tell.
std::optional<SourceKind> classify_by_file_system(const char* source);


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
