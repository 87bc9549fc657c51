#include "images/expand.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <memory_resource>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "support/c_text.h"
#include "process/children.h"
#include "support/config_file.h"
#include "support/directory.h"
#include "support/log.h"
#include "support/magick.h"
#include "images/file_inode.h"
#include "images/prober.h"
#include "support/regular_file.h"
#include "support/url.h"

namespace zelvo {

namespace {

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
// path, appended to the listing. The join alone resolves an entry that is no
// symbolic link: realpath would walk every component of the path once more
// for each entry, which made a walk down 1000 nested directories take half a
// minute.
void read_resolved_directory(const std::string& directory, Listing& listing) {
    DirectoryPtr stream{opendir(directory.c_str())};
    if (!stream) return;
    const std::string prefix = directory.back() == '/' ? directory : directory + '/';
    std::string path;
    while (const dirent* entry = readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
            path = prefix;
            path += entry->d_name;
            listing.add(path);
        } else if (std::optional<std::string> resolved = join_and_resolve(entry->d_name, directory.c_str())) {
            listing.add(*resolved);
        }
    }
}

// No real list file comes near this; a larger one is not read.
constexpr std::size_t most_list_file_bytes = std::size_t{32} << 20;

// What one expansion may take, however its sources fan out: list files that
// name each other many times over, or directories full of links to the
// same directories, would otherwise read or list without end.
constexpr std::size_t most_list_files = 10000;
// The sources of all the list files read, held while the expansion runs.
constexpr std::size_t most_listed_bytes = std::size_t{64} << 20;
// What the ring may take of the daemon's memory: the old ring and the new
// one live side by side during a reload, and the daemon stays under 64 MiB.
constexpr std::size_t most_ring_bytes = std::size_t{24} << 20;
// Sources looked at, found in directories and list files or named again.
constexpr std::size_t most_examined = 10000000;
// Sources classified at a time: their pings go to the prober together.
constexpr std::size_t classified_at_once = 1024;

// About what one entry of the ring takes from the allocator: its node and,
// past what a string keeps in place, the block of its text.
std::size_t ring_footprint(std::size_t length) {
    constexpr std::size_t node = 64;
    return node + (length < 16 ? 0 : (length + 1 + 8 + 15) / 16 * 16);
}

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
    // Whatever is given back stays mapped until the end: the arenas above
    // give back nothing before then.
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    std::vector<std::pair<void*, std::size_t>> regions_;
};

// An arena in mapped memory of its own.
struct MappedArena {
    MappedMemory mapped;
    std::pmr::monotonic_buffer_resource arena{&mapped};
};

// One directory's listing, in mapped memory that is unmapped as soon as the
// walk leaves the directory.
struct DirectoryListing {
    MappedArena memory;
    Listing listing{&memory.arena};
};

// Texts looked up by view, so that a lookup that finds allocates nothing.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
};
template <typename Value>
using TextMap = std::pmr::unordered_map<std::pmr::string, Value, TextHash, std::equal_to<>>;

// The listing of a list file with "~/" at the start of an entry as the home
// directory; the listing itself when no entry begins so.
const Listing* with_home(const Listing& listing, const std::string& home, std::pmr::memory_resource& memory) {
    bool any = false;
    for (std::size_t index = 0; index < listing.size() && !any; ++index) any = listing[index].starts_with("~/");
    if (!any) return &listing;
    Listing* expanded = std::pmr::polymorphic_allocator<Listing>(&memory).new_object<Listing>(&memory);
    for (std::size_t index = 0; index < listing.size(); ++index) {
        const std::string_view entry = listing[index];
        if (entry.starts_with("~/"))
            expanded->add(home + std::string(entry.substr(1)));
        else
            expanded->add(entry);
    }
    return expanded;
}

// One directory or list file being expanded: its sources, the next one to
// look at, how far they are classified, and its resolved path, which marks it
// as being on the current path.
struct Frame {
    const Listing* listing;
    std::size_t next = 0;
    std::size_t classified = 0;
    bool resolved = false;  // the sources are resolved paths found in a directory
    std::string origin;
    std::unique_ptr<DirectoryListing> directory;  // a directory's own listing
};

// One expansion, depth first without recursion: the frames stand for the
// directories and list files on the current path, the deepest last.
class Expansion {
public:
    explicit Expansion(const ExpandOptions& options);
    StringList run(const StringNode* sources);

private:
    // Classifies the next sources of the frame, asking the prober to ping
    // those that the file system cannot tell.
    void classify_ahead(Frame& frame);
    // The sources of a list file, read at most once: its resolved path names it.
    const Listing* list_file(const std::string& path, const std::string& origin);
    void enter(std::string_view text, SourceKind kind, bool resolved);
    // Whether the image entry is banned, by its text or by the file it leads
    // to, however it names it (a linked folder, another list's spelling).
    bool banned(const std::string& entry) const;

    // Each path is classified once: a list may name the same image a
    // hundred thousand times, and each ping reads the file.
    MappedArena memory_;
    TextMap<SourceKind> kinds_{&memory_.arena};
    TextMap<const Listing*> list_files_{&memory_.arena};
    Prober prober_;
    std::unordered_set<std::string> on_path_;
    std::vector<Frame> frames_;
    StringList result_ = StringList::placeholder();
    StringNode* tail_ = result_.first();
    std::size_t list_files_read_ = 0;
    std::size_t listed_bytes_ = 0;
    std::size_t entries_ = 0;
    std::size_t ring_bytes_ = 0;
    std::size_t examined_ = 0;
    bool list_files_spent_ = false;
    std::optional<std::string> home_;
    std::unordered_set<std::string> banned_;
    std::unordered_set<FileInode, FileInodeHash> banned_files_;
};

Expansion::Expansion(const ExpandOptions& options) : home_(options.home) {
    if (!options.banned_file) return;
    for (std::string& image : read_banned_images(*options.banned_file)) {
        if (const std::optional<FileInode> file = file_inode(image.c_str())) banned_files_.insert(*file);
        banned_.insert(std::move(image));
    }
}

bool Expansion::banned(const std::string& entry) const {
    if (banned_.empty()) return false;
    if (banned_.count(entry) != 0) return true;
    if (banned_files_.empty()) return false;
    const std::optional<FileInode> file = file_inode(entry.c_str());
    return file && banned_files_.count(*file) != 0;
}

void Expansion::classify_ahead(Frame& frame) {
    const Listing& listing = *frame.listing;
    const std::size_t end = std::min(listing.size(), frame.classified + classified_at_once);
    std::vector<const char*> pings;
    std::vector<SourceKind*> answers;
    for (std::size_t index = frame.classified; index < end; ++index) {
        const std::string_view text = listing[index];
        if (text.empty() || kinds_.find(text) != kinds_.end()) continue;
        const std::optional<SourceKind> known = classify_by_file_system(listing.c_str(index));
        SourceKind& kind = kinds_.emplace(std::pmr::string(text, &memory_.arena), known.value_or(SOURCE_SKIPPED))
                               .first->second;
        if (!known) {
            pings.push_back(listing.c_str(index));
            answers.push_back(&kind);
        }
    }
    frame.classified = end;
    if (pings.empty()) return;
    std::vector<SourceKind> kinds(pings.size());
    prober_.ping(pings, kinds);
    for (std::size_t index = 0; index < kinds.size(); ++index) *answers[index] = kinds[index];
}

const Listing* Expansion::list_file(const std::string& path, const std::string& origin) {
    if (const auto known = list_files_.find(std::string_view(origin)); known != list_files_.end()) return known->second;
    const Listing* found = nullptr;
    if (list_files_spent_) return nullptr;
    if (list_files_read_ == most_list_files) {
        report("Zelvo has read %zu list files, the most for one expansion: the other list files are skipped",
               most_list_files);
        list_files_spent_ = true;
        return nullptr;
    }
    ++list_files_read_;
    Listing* listing = std::pmr::polymorphic_allocator<Listing>(&memory_.arena).new_object<Listing>(&memory_.arena);
    switch (prober_.read_list(path.c_str(), *listing, most_listed_bytes - listed_bytes_)) {
    case ListReading::read:
        listed_bytes_ += listing->bytes();
        found = listing;
        if (home_) found = with_home(*listing, *home_, memory_.arena);
        break;
    case ListReading::over_budget:
        report("Zelvo has read %zu MiB of list files, the most for one expansion: the other list files are skipped",
               most_listed_bytes >> 20);
        list_files_spent_ = true;
        return nullptr;
    case ListReading::none:
        break;
    }
    list_files_.emplace(std::pmr::string(origin, &memory_.arena), found);
    return found;
}

void Expansion::enter(std::string_view text, SourceKind kind, bool resolved) {
    const std::string path(text);
    std::optional<std::string> origin = resolved ? std::optional<std::string>(path) : resolve(path.c_str());
    if (!origin || on_path_.count(*origin) != 0) return;
    Frame frame{nullptr, 0, 0, kind == SOURCE_DIRECTORY, *origin, nullptr};
    if (kind == SOURCE_DIRECTORY) {
        frame.directory = std::make_unique<DirectoryListing>();
        read_resolved_directory(*origin, frame.directory->listing);
        frame.listing = &frame.directory->listing;
    } else {
        frame.listing = list_file(path, *origin);
    }
    if (frame.listing == nullptr || frame.listing->size() == 0) return;
    on_path_.insert(std::move(*origin));
    frames_.push_back(std::move(frame));
}

StringList Expansion::run(const StringNode* sources) {
    Listing& top = *std::pmr::polymorphic_allocator<Listing>(&memory_.arena).new_object<Listing>(&memory_.arena);
    for (const StringNode* source = sources; source != nullptr; source = source->link)
        top.add(source->value.value_or(std::string()));
    frames_.push_back(Frame{&top, 0, 0, false, std::string(), nullptr});
    while (!frames_.empty()) {
        Frame& frame = frames_.back();
        if (frame.next == frame.listing->size()) {
            if (!frame.origin.empty()) on_path_.erase(frame.origin);
            frames_.pop_back();
            continue;
        }
        if (frame.next == frame.classified) classify_ahead(frame);
        const std::string_view text = (*frame.listing)[frame.next++];
        if (++examined_ > most_examined) {
            report("Zelvo has looked at %zu sources, the most for one expansion: the rest are skipped",
                   most_examined);
            break;
        }
        if (text.empty()) continue;
        const SourceKind kind = kinds_.find(text)->second;
        if (kind == SOURCE_SKIPPED) continue;
        if (kind != SOURCE_IMAGE) {
            enter(text, kind, frame.resolved);
            continue;
        }
        // The viewer would take a relative "-name" for an option; "./-name" is the same file.
        std::string entry = text[0] == '-' ? "./" + std::string(text) : std::string(text);
        if (banned(entry)) continue;
        const std::size_t cost = ring_footprint(entry.size());
        if (ring_bytes_ + cost > most_ring_bytes) {
            report("Zelvo has found %zu images, as many as one expansion takes: the rest are skipped", entries_);
            break;
        }
        ++entries_;
        ring_bytes_ += cost;
        tail_ = string_list_append(tail_, std::move(entry));
    }
    if (result_.empty()) return StringList();
    return std::move(result_);
}

// Relinks a linear list in the byte order of its values.
StringList sorted_by_name(StringList images) {
    if (images.empty()) return images;
    std::vector<StringNode*> nodes;
    for (StringNode* node = images.release(); node != nullptr; node = node->link) nodes.push_back(node);
    std::stable_sort(nodes.begin(), nodes.end(),
                     [](const StringNode* one, const StringNode* two) { return *one->value < *two->value; });
    for (std::size_t index = 0; index + 1 < nodes.size(); ++index) nodes[index]->link = nodes[index + 1];
    nodes.back()->link = nullptr;
    return StringList(nodes.front());
}

}  // namespace

StringList expand_sources(const StringNode* sources, const ExpandOptions& options) {
    StringList images = Expansion(options).run(sources);
    // Its probers have let go of their channels: they are on their way out.
    children_reap_killed();
    return options.by_name ? sorted_by_name(std::move(images)) : std::move(images);
}

std::vector<std::string> read_banned_images(const std::string& path) {
    struct stat status{};
    if (stat(path.c_str(), &status) != 0 && errno == ENOENT) return {};
    const std::optional<ListFileSources> read = parse_list_file(path.c_str());
    if (!read) {
        report("Zelvo cannot read the banned images in %s: it is no list file it can parse", path.c_str());
        return {};
    }
    return std::vector<std::string>(read->sources.begin(), read->sources.end());
}

std::vector<std::string> check_image_files(const std::vector<std::string>& files) {
    std::vector<std::string> verdicts(files.size());
    std::vector<const char*> pings;
    std::vector<std::size_t> pinged;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const std::string& file = files[index];
        std::string& verdict = verdicts[index];
        struct stat status{};
        if (file.empty() || file[0] != '/') {
            verdict = is_url(file.c_str()) ? "a URL, not a file" : "not an absolute path";
        } else if (file.size() > most_source_bytes) {
            verdict = std::strerror(ENAMETOOLONG);
        } else if (stat(file.c_str(), &status) != 0) {
            verdict = std::strerror(errno);
        } else if (S_ISDIR(status.st_mode)) {
            verdict = "a directory, not an image file";
        } else if (!S_ISREG(status.st_mode)) {
            verdict = "not a regular file";
        } else {
            pings.push_back(file.c_str());
            pinged.push_back(index);
        }
    }
    if (!pings.empty()) {
        std::vector<SourceKind> kinds(pings.size());
        Prober().ping(pings, kinds);
        for (std::size_t at = 0; at < kinds.size(); ++at) {
            if (kinds[at] == SOURCE_LIST_FILE) verdicts[pinged[at]] = "not an image that feh shows";
            else if (kinds[at] != SOURCE_IMAGE) verdicts[pinged[at]] = "probing it failed";
        }
        children_reap_killed();
    }
    return verdicts;
}

std::string home_path(const std::string& path, const std::string& home) {
    return path.starts_with("~/") ? home + path.substr(1) : path;
}

// The file system decides first, then the URL pattern, then MagickCore. One
// stat tells all the file system can: a directory is still opened to see
// that it can be read, and only a regular file can be read without blocking,
// so a FIFO, a terminal or a device behind a name or a link is never opened.
std::optional<SourceKind> classify_by_file_system(const char* source) {
    if (source == nullptr || source[0] == '\0') return SOURCE_SKIPPED;
    struct stat status{};
    // Nothing there, or a text too long to be a path at all: a URL perhaps.
    if (stat(source, &status) != 0)
        return (errno == ENOENT || errno == ENAMETOOLONG) && is_url(source) ? SOURCE_IMAGE : SOURCE_SKIPPED;
    if (S_ISDIR(status.st_mode)) return DirectoryPtr{opendir(source)} ? SOURCE_DIRECTORY : SOURCE_SKIPPED;
    if (!S_ISREG(status.st_mode)) return SOURCE_SKIPPED;
    return std::nullopt;
}

SourceKind classify_source(const char* source) {
    const std::optional<SourceKind> known = classify_by_file_system(source);
    return known ? *known : ping_image(source);
}

StringList list_directory(const char* directory) {
    std::optional<std::string> resolved = resolve(directory);
    if (!resolved) return StringList();
    std::pmr::monotonic_buffer_resource memory;
    Listing listing(&memory);
    read_resolved_directory(*resolved, listing);
    if (listing.size() == 0) return StringList();
    StringList entries = StringList::placeholder();
    StringNode* tail = entries.first();
    for (std::size_t index = 0; index < listing.size(); ++index) tail = string_list_append(tail, std::string(listing[index]));
    return entries;
}

std::optional<std::string> join_and_resolve(const char* name, const char* directory) {
    std::string joined = directory;
    joined += '/';
    joined += name;
    return resolve(joined.c_str());
}

std::optional<ListFileSources> parse_list_file(const char* path) {
    // Read here, not by libconfig, whose scanner ends the process on a read
    // error; an include would make libconfig open a file of the list's
    // choosing. A list is text: a NUL byte ends it for the parser, which reads
    // it from memory in one piece, since fed from a stream it would scan a
    // long string again at every block of the stream.
    std::optional<std::string> text = read_regular_file(path, most_list_file_bytes);
    if (!text || text->find('\0') != std::string::npos || config_text_includes(*text)) return std::nullopt;
    ListFileSources read{std::make_unique<ConfigFile>(), {}};
    if (config_read_string(read.file->get(), text->c_str()) != CONFIG_TRUE) return std::nullopt;
    const char* name = "default";
    config_lookup_string(read.file->get(), "list", &name);
    const config_setting_t* setting = config_lookup(read.file->get(), name);
    if (setting == nullptr) return std::nullopt;
    const int length = config_setting_length(setting);
    for (int index = 0; index < length; ++index) {
        // Elements that are not strings are skipped; the rest still count.
        const char* element = config_setting_get_string_elem(setting, index);
        if (element == nullptr) continue;
        if (std::strlen(element) > most_source_bytes) return std::nullopt;
        read.sources.push_back(element);
    }
    return read;
}

std::optional<StringList> read_list_file(const char* path) {
    std::optional<ListFileSources> read = parse_list_file(path);
    if (!read) return std::nullopt;
    StringList sources = StringList::placeholder();
    StringNode* tail = sources.first();
    for (const char* source : read->sources) tail = string_list_append(tail, source);
    return sources;
}

SourceKind ping_image(const char* path) {
    if (!is_plain_file(path)) return SOURCE_LIST_FILE;
    ExceptionPtr exception = magick_exception();
    ImageInfoPtr info = magick_image_info();
    if (!magick_set_image_path(info.get(), path)) return SOURCE_LIST_FILE;
    info->debug = MagickTrue;
    magick_first_frame_only(info.get());
    ImagePtr image = magick_ping(info.get(), exception.get());
    magick_report(exception.get());
    if (!image) return SOURCE_LIST_FILE;
    // feh reads the PNM family at eight bits a sample at most.
    const std::string_view format = image->magick;
    if ((format == "PBM" || format == "PGM" || format == "PPM" || format == "PNM") && image->depth > 8)
        return SOURCE_LIST_FILE;
    return SOURCE_IMAGE;
}

}  // namespace zelvo
