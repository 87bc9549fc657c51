#pragma once

#include <optional>
#include <string>

#include "images/string_list.h"

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

// Whether a path that does not exist reads as a URL.
bool source_is_url(const char* source);

// The directory's entries, "." and ".." left out, as resolved absolute paths
// in directory-stream order; an empty list when there is none.
StringList list_directory(const char* directory);

// directory + "/" + name, resolved; nothing when it cannot be resolved.
std::optional<std::string> join_and_resolve(const char* name, const char* directory);

// The sources that a list file names (maybe a bare placeholder); none when
// the file cannot be parsed or its named setting is missing.
std::optional<StringList> read_list_file(const char* path);

// SOURCE_IMAGE when MagickCore recognises the file, else SOURCE_LIST_FILE.
SourceKind ping_image(const char* path);

}  // namespace zelvo
