#include "images/expand.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <regex.h>
#include <vector>

#include "support/c_text.h"
#include "support/config_file.h"
#include "support/magick.h"

namespace zelvo {

namespace {

struct DirectoryClose {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};
using DirectoryPtr = std::unique_ptr<DIR, DirectoryClose>;

// Anchored at the start only: a scheme, "://", an optional "www." and at
// least two host characters; whatever follows is not examined. This is the
// extended-syntax form of the classic basic pattern
// "^\(http\|https\|ftp\):\/\/\(www\.\)\?[a-z0-9A-z\.:]\{2,256\}", which needs
// GNU extensions in basic syntax; both accept exactly the same texts. The
// bracket keeps the backslash as a member and A-z spans both letter cases.
constexpr const char* url_pattern = "^(http|https|ftp)://(www\\.)?[a-z0-9A-z\\.:]{2,256}";

std::optional<std::string> resolve(const char* path) {
    CTextPtr resolved(realpath(path, nullptr));
    if (resolved) return std::string(resolved.get());
    if (errno != EINVAL) return std::nullopt;
    // Platforms without the allocating form need a buffer of PATH_MAX bytes.
    std::vector<char> buffer(PATH_MAX);
    if (realpath(path, buffer.data()) == nullptr) return std::nullopt;
    return std::string(buffer.data());
}

// The resolved directories and list files being expanded on the current
// path; one already on it is not entered again, so cycles end.
using ExpansionPath = std::vector<std::string>;

StringList expand_along(const StringNode* sources, ExpansionPath& path);

// Expands a nested listing unless its resolved origin is already being expanded.
StringList expand_nested(const char* origin, const StringList& listing, ExpansionPath& path) {
    std::optional<std::string> resolved = resolve(origin);
    if (!resolved || std::find(path.begin(), path.end(), *resolved) != path.end())
        return StringList();
    path.push_back(std::move(*resolved));
    StringList partial = expand_along(listing.first(), path);
    path.pop_back();
    return partial;
}

StringList expand_along(const StringNode* sources, ExpansionPath& path) {
    StringList result = StringList::placeholder();
    StringNode* tail = result.first();
    for (const StringNode* source = sources; source != nullptr; source = source->link) {
        const char* text = source->value ? source->value->c_str() : nullptr;
        StringList listing;
        switch (classify_source(text)) {
        case SOURCE_IMAGE:
            tail = string_list_append(tail, *source->value);
            continue;
        case SOURCE_DIRECTORY:
            listing = list_directory(text);
            break;
        case SOURCE_LIST_FILE:
            if (std::optional<StringList> read = read_list_file(text)) listing = std::move(*read);
            break;
        case SOURCE_SKIPPED:
            continue;
        }
        if (listing.first() == nullptr) continue;
        StringList partial = expand_nested(text, listing, path);
        if (partial.empty()) continue;
        if (result.empty()) {
            result = std::move(partial);
            tail = string_list_last(result.first());
        } else {
            tail->link = partial.release();
            tail = string_list_last(tail->link);
        }
    }
    if (result.empty()) return StringList();
    return result;
}

}  // namespace

StringList expand_sources(const StringNode* sources) {
    ExpansionPath path;
    return expand_along(sources, path);
}

bool source_is_url(const char* source) {
    regex_t pattern;
    if (regcomp(&pattern, url_pattern, REG_EXTENDED | REG_ICASE) != 0) return false;
    bool matched = regexec(&pattern, source, 0, nullptr, 0) == 0;
    regfree(&pattern);
    return matched;
}

SourceKind classify_source(const char* source) {
    if (source == nullptr || source[0] == '\0') return SOURCE_SKIPPED;
    if (DirectoryPtr directory{opendir(source)}) return SOURCE_DIRECTORY;
    switch (errno) {
    case ENOENT:
        return source_is_url(source) ? SOURCE_IMAGE : SOURCE_SKIPPED;
    case ENOTDIR:
        return ping_image(source);
    default:
        return SOURCE_SKIPPED;
    }
}

StringList list_directory(const char* directory) {
    DirectoryPtr stream{opendir(directory)};
    if (!stream) return StringList();
    StringList listing = StringList::placeholder();
    StringNode* tail = listing.first();
    while (const dirent* entry = readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (std::optional<std::string> resolved = join_and_resolve(entry->d_name, directory))
            tail = string_list_append(tail, std::move(*resolved));
    }
    if (listing.empty()) return StringList();
    return listing;
}

std::optional<std::string> join_and_resolve(const char* name, const char* directory) {
    std::string joined = directory;
    joined += '/';
    joined += name;
    return resolve(joined.c_str());
}

std::optional<StringList> read_list_file(const char* path) {
    ConfigFile file;
    if (config_read_file(file.get(), path) != CONFIG_TRUE) return std::nullopt;
    const char* name = "default";
    config_lookup_string(file.get(), "list", &name);
    const config_setting_t* setting = config_lookup(file.get(), name);
    if (setting == nullptr) return std::nullopt;
    StringList sources = StringList::placeholder();
    StringNode* tail = sources.first();
    int length = config_setting_length(setting);
    for (int index = 0; index < length; ++index) {
        // Elements that are not strings are skipped; the rest still count.
        if (const char* element = config_setting_get_string_elem(setting, index))
            tail = string_list_append(tail, element);
    }
    return sources;
}

SourceKind ping_image(const char* path) {
    ExceptionPtr exception = magick_exception();
    ImageInfoPtr info = magick_image_info();
    if (!magick_set_filename(info.get(), path)) return SOURCE_LIST_FILE;
    info->debug = MagickTrue;
    ImagePtr image = magick_ping(info.get(), exception.get());
    magick_report(exception.get());
    return image ? SOURCE_IMAGE : SOURCE_LIST_FILE;
}

}  // namespace zelvo
