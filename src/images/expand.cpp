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

// Compiled once: a compilation costs half a millisecond, which a list file
// naming 100000 missing paths paid 100000 times (50 seconds at start-up).
struct UrlPattern {
    regex_t compiled{};
    bool usable = regcomp(&compiled, url_pattern, REG_EXTENDED | REG_ICASE) == 0;
    UrlPattern() = default;
    UrlPattern(const UrlPattern&) = delete;
    UrlPattern& operator=(const UrlPattern&) = delete;
    ~UrlPattern() {
        if (usable) regfree(&compiled);
    }
};

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

// The resolved paths of the entries of a directory given by its own resolved
// path. The join alone resolves an entry that is no symbolic link: realpath
// would walk every component of the path once more for each entry, which
// made a walk down 1000 nested directories take half a minute.
StringList list_resolved_directory(const std::string& directory) {
    DirectoryPtr stream{opendir(directory.c_str())};
    if (!stream) return StringList();
    const std::string prefix = directory.back() == '/' ? directory : directory + '/';
    StringList listing = StringList::placeholder();
    StringNode* tail = listing.first();
    while (const dirent* entry = readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
            tail = string_list_append(tail, prefix + entry->d_name);
        } else if (std::optional<std::string> resolved = join_and_resolve(entry->d_name, directory.c_str())) {
            tail = string_list_append(tail, std::move(*resolved));
        }
    }
    if (listing.empty()) return StringList();
    return listing;
}

// Sources found in a directory are resolved paths already (`resolved`); a
// directory or list file whose resolved path is already being expanded on the
// current path is not entered again.
StringList expand_along(const StringNode* sources, bool resolved, ExpansionPath& path) {
    StringList result = StringList::placeholder();
    StringNode* tail = result.first();
    for (const StringNode* source = sources; source != nullptr; source = source->link) {
        const char* text = source->value ? source->value->c_str() : nullptr;
        const SourceKind kind = classify_source(text);
        if (kind == SOURCE_SKIPPED) continue;
        if (kind == SOURCE_IMAGE) {
            // The viewer would take a relative "-name" for an option; "./-name" is the same file.
            tail = string_list_append(tail, text[0] == '-' ? "./" + *source->value : *source->value);
            continue;
        }
        std::optional<std::string> origin = resolved ? std::optional<std::string>(text) : resolve(text);
        if (!origin || std::find(path.begin(), path.end(), *origin) != path.end()) continue;
        StringList listing;
        if (kind == SOURCE_DIRECTORY) {
            listing = list_resolved_directory(*origin);
        } else if (std::optional<StringList> read = read_list_file(text)) {
            listing = std::move(*read);
        }
        if (listing.first() == nullptr) continue;
        path.push_back(std::move(*origin));
        StringList partial = expand_along(listing.first(), kind == SOURCE_DIRECTORY, path);
        path.pop_back();
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
    return expand_along(sources, false, path);
}

bool source_is_url(const char* source) {
    static const UrlPattern pattern;
    return pattern.usable && regexec(&pattern.compiled, source, 0, nullptr, 0) == 0;
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
    std::optional<std::string> resolved = resolve(directory);
    if (!resolved) return StringList();
    return list_resolved_directory(*resolved);
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
