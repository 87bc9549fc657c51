#include "images/expand.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <memory_resource>
#include <regex.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "support/c_text.h"
#include "support/config_file.h"
#include "support/directory.h"
#include "support/log.h"
#include "support/magick.h"
#include "support/regular_file.h"

namespace zelvo {

namespace {

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

// What one expansion may take, however its sources fan out: list files that
// name each other many times over, or directories full of links to the
// same directories, would otherwise read or list without end.
constexpr std::size_t most_list_files = 10000;
constexpr std::size_t most_entries = 1000000;
// The texts of the entries, which a list file may make as long as it likes.
constexpr std::size_t most_entry_bytes = std::size_t{256} << 20;
// Sources looked at, found in directories and list files or named again.
constexpr std::size_t most_examined = 10000000;
// No real list file comes near this; a larger one is not read.
constexpr std::size_t most_list_file_bytes = std::size_t{128} << 20;

// Memory mapped for one expansion's own bookkeeping and unmapped whole when
// it ends: kept in the heap, among the ring's nodes that outlive it, the
// freed bookkeeping of a large tree would stay resident for good.
class MappedMemory : public std::pmr::memory_resource {
public:
    MappedMemory() = default;
    MappedMemory(const MappedMemory&) = delete;
    MappedMemory& operator=(const MappedMemory&) = delete;
    ~MappedMemory() override {
        for (const auto& [address, size] : regions_) munmap(address, size);
    }

private:
    void* do_allocate(std::size_t bytes, std::size_t) override {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t size = (bytes + page - 1) / page * page;
        void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
        if (address == MAP_FAILED) std::abort();
        regions_.emplace_back(address, size);
        return address;
    }
    // Whatever is given back stays mapped until the end: the arena above
    // gives back nothing before then.
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    std::vector<std::pair<void*, std::size_t>> regions_;
};

// Texts looked up by view, so that a lookup that finds allocates nothing.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
};
using KindCache = std::pmr::unordered_map<std::pmr::string, SourceKind, TextHash, std::equal_to<>>;

// One directory or list file being expanded: its sources, the next one to
// look at, and its resolved path, which marks it as being on the current path.
struct Frame {
    StringList listing;
    const StringNode* next;
    bool resolved;  // the sources are resolved paths found in a directory
    std::string origin;
};

// One expansion, depth first without recursion: the frames stand for the
// directories and list files on the current path, the deepest last.
class Expansion {
public:
    StringList run(const StringNode* sources);

private:
    SourceKind classify(const std::string& text);
    // Whether another list file may be read; says so once when none may.
    bool may_read_list_file();
    void enter(const StringNode* source, SourceKind kind, bool resolved);

    // Each path is classified once: a list may name the same image a
    // hundred thousand times, and each ping reads the file.
    MappedMemory mapped_;
    std::pmr::monotonic_buffer_resource arena_{&mapped_};
    KindCache kinds_{&arena_};
    std::unordered_set<std::string> on_path_;
    std::vector<Frame> frames_;
    StringList result_ = StringList::placeholder();
    StringNode* tail_ = result_.first();
    std::size_t list_files_ = 0;
    std::size_t entries_ = 0;
    std::size_t entry_bytes_ = 0;
    std::size_t examined_ = 0;
    bool list_files_spent_ = false;
};

SourceKind Expansion::classify(const std::string& text) {
    if (const auto known = kinds_.find(std::string_view(text)); known != kinds_.end()) return known->second;
    const SourceKind kind = classify_source(text.c_str());
    kinds_.emplace(std::pmr::string(text, &arena_), kind);
    return kind;
}

bool Expansion::may_read_list_file() {
    if (list_files_ < most_list_files) {
        ++list_files_;
        return true;
    }
    if (!list_files_spent_)
        report("Zelvo has read %zu list files, the most for one expansion: the other list files are skipped",
               most_list_files);
    list_files_spent_ = true;
    return false;
}

void Expansion::enter(const StringNode* source, SourceKind kind, bool resolved) {
    const std::string& text = *source->value;
    std::optional<std::string> origin = resolved ? std::optional<std::string>(text) : resolve(text.c_str());
    if (!origin || on_path_.count(*origin) != 0) return;
    StringList listing;
    if (kind == SOURCE_DIRECTORY) {
        listing = list_resolved_directory(*origin);
    } else if (!may_read_list_file()) {
        return;
    } else if (std::optional<StringList> read = read_list_file(text.c_str())) {
        listing = std::move(*read);
    }
    if (listing.first() == nullptr) return;
    on_path_.insert(*origin);
    const StringNode* first = listing.first();
    frames_.push_back(Frame{std::move(listing), first, kind == SOURCE_DIRECTORY, std::move(*origin)});
}

StringList Expansion::run(const StringNode* sources) {
    frames_.push_back(Frame{StringList(), sources, false, std::string()});
    while (!frames_.empty()) {
        Frame& frame = frames_.back();
        const StringNode* source = frame.next;
        if (source == nullptr) {
            if (!frame.origin.empty()) on_path_.erase(frame.origin);
            frames_.pop_back();
            continue;
        }
        frame.next = source->link;
        if (++examined_ > most_examined) {
            report("Zelvo has looked at %zu sources, the most for one expansion: the rest are skipped",
                   most_examined);
            break;
        }
        if (!source->value || source->value->empty()) continue;
        const SourceKind kind = classify(*source->value);
        if (kind == SOURCE_SKIPPED) continue;
        if (kind != SOURCE_IMAGE) {
            enter(source, kind, frame.resolved);
            continue;
        }
        if (entries_ == most_entries || entry_bytes_ + source->value->size() > most_entry_bytes) {
            report("Zelvo has found %zu images, as many as one expansion takes: the rest are skipped", entries_);
            break;
        }
        ++entries_;
        entry_bytes_ += source->value->size();
        // The viewer would take a relative "-name" for an option; "./-name" is the same file.
        const std::string& text = *source->value;
        tail_ = string_list_append(tail_, text[0] == '-' ? "./" + text : text);
    }
    if (result_.empty()) return StringList();
    return std::move(result_);
}

}  // namespace

StringList expand_sources(const StringNode* sources) { return Expansion().run(sources); }

bool source_is_url(const char* source) {
    static const UrlPattern pattern;
    return pattern.usable && regexec(&pattern.compiled, source, 0, nullptr, 0) == 0;
}

// The file system decides first, then the URL pattern, then MagickCore. One
// stat tells all the file system can: a directory is still opened to see
// that it can be read, and only a regular file can be read without blocking,
// so a FIFO, a terminal or a device behind a name or a link is never opened.
SourceKind classify_source(const char* source) {
    if (source == nullptr || source[0] == '\0') return SOURCE_SKIPPED;
    struct stat status{};
    if (stat(source, &status) != 0)
        return errno == ENOENT && source_is_url(source) ? SOURCE_IMAGE : SOURCE_SKIPPED;
    if (S_ISDIR(status.st_mode)) return DirectoryPtr{opendir(source)} ? SOURCE_DIRECTORY : SOURCE_SKIPPED;
    return S_ISREG(status.st_mode) ? ping_image(source) : SOURCE_SKIPPED;
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
    // Read here, not by libconfig, whose scanner ends the process on a read
    // error; an include would make libconfig open a file of the list's choosing.
    std::optional<std::string> text = read_regular_file(path, most_list_file_bytes);
    if (!text || config_text_includes(*text)) return std::nullopt;
    ConfigFile file;
    if (!config_read_text(file.get(), *text)) return std::nullopt;
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
    if (!magick_set_image_path(info.get(), path)) return SOURCE_LIST_FILE;
    info->debug = MagickTrue;
    ImagePtr image = magick_ping(info.get(), exception.get());
    magick_report(exception.get());
    return image ? SOURCE_IMAGE : SOURCE_LIST_FILE;
}

}  // namespace zelvo
