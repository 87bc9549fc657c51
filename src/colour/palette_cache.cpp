#include "colour/palette_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "support/directory.h"
#include "support/log.h"
#include "support/magick.h"
#include "process/process.h"
#include "support/publish.h"

// An entry is a small text file named after the image's key and the
// MagickCore that read it, holding what extraction found, before shaping:
//
//   zelvo palette cache 1
//   image <SHA-256 of the image's bytes>
//   magick <magick_build_tag()>
//   colours 16            (or 0: the image gives no palette)
//   #rrggbb               (sixteen tuples as MagickCore wrote them)
//   check <the first 32 hex digits of the SHA-256 of every line above>
//
// Its modification time is its last use, so that the least recently used go
// first. Entries of another MagickCore have other names and are never read;
// one that does not check is found again and replaced.

namespace zelvo {

namespace {

constexpr std::string_view format_line = "zelvo palette cache 1";
constexpr std::size_t most_entry_bytes = 4096;
constexpr std::size_t longest_tuple = 33;  // "#" and eight 16-bit channels
// A temporary file left by a step killed while it wrote is removed after this long.
constexpr std::time_t stale_seconds = 600;
// A prune's worker removes a slice of a few thousand files; this is far beyond it.
constexpr std::chrono::seconds prune_deadline{60};

struct DigestDelete {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestPtr = std::unique_ptr<EVP_MD_CTX, DigestDelete>;

// Hashes what `feed` hands over, chunk by chunk, with SHA-256; none when
// libcrypto fails or `feed` says the input failed.
template <typename Feed>
std::optional<std::string> sha256_hex(Feed feed) {
    const DigestPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
    const auto update = [&context](const void* bytes, std::size_t count) {
        return EVP_DigestUpdate(context.get(), bytes, count) == 1;
    };
    if (!feed(update)) return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

std::optional<std::string> text_sha256(std::string_view text) {
    return sha256_hex([text](auto update) { return update(text.data(), text.size()); });
}

// Reads `count` bytes at `offset` into `bytes`; false when they are not all there.
bool read_at(int file, std::string& bytes, std::size_t count, off_t offset) {
    bytes.resize(count);
    for (std::size_t filled = 0; filled < count;) {
        const ssize_t got = pread(file, bytes.data() + filled, count - filled, offset + static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

// A large file's key: its size and modification time with its first and
// last bytes, so that a file of any size costs two reads. The text hashed
// begins unlike any image, so no whole file's key can be one of these.
std::optional<std::string> hash_large_file(int file, const struct stat& status) {
    const auto ends = static_cast<std::size_t>(palette_key_end_bytes);
    std::string first;
    std::string last;
    if (!read_at(file, first, ends, 0) || !read_at(file, last, ends, status.st_size - static_cast<off_t>(ends)))
        return std::nullopt;
    const std::string head = "zelvo large image\nsize " + std::to_string(status.st_size) + "\nmodified " +
                             std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) +
                             "\n";
    return sha256_hex([&](auto update) {
        return update(head.data(), head.size()) && update(first.data(), first.size()) &&
               update(last.data(), last.size());
    });
}

// The key of the regular file at `path`, and its status as it was hashed.
std::optional<std::pair<std::string, struct stat>> hash_file(const std::string& path) {
    const UniqueDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status{};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    if (status.st_size > palette_whole_key_bytes) {
        std::optional<std::string> key = hash_large_file(file.get(), status);
        if (!key) return std::nullopt;
        return std::pair{std::move(*key), status};
    }
    std::optional<std::string> key = sha256_hex([&file](auto update) {
        std::vector<unsigned char> chunk(std::size_t{1} << 18);
        for (;;) {
            const ssize_t got = read(file.get(), chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return false;
            if (got == 0) return true;
            if (!update(chunk.data(), static_cast<std::size_t>(got))) return false;
        }
    });
    if (!key) return std::nullopt;
    return std::pair{std::move(*key), status};
}

bool same_file(const struct stat& one, const struct stat& two) {
    const auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    return one.st_dev == two.st_dev && one.st_ino == two.st_ino && one.st_size == two.st_size &&
           same(one.st_mtim, two.st_mtim) && same(one.st_ctim, two.st_ctim);
}

// The folder, never through a link, and without waiting on a FIFO in its place.
UniqueDescriptor open_folder(const std::string& folder) {
    return UniqueDescriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

std::string entry_name(const std::string& key) { return key + "-" + magick_build_tag(); }

bool is_tuple(std::string_view text) {
    return text.size() >= 7 && text.size() <= longest_tuple && text[0] == '#' &&
           std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::string entry_text(const std::string& key, const std::optional<HexTuples>& tuples) {
    std::string text = std::string(format_line) + "\nimage " + key + "\nmagick " + magick_build_tag() + "\ncolours " +
                       std::to_string(tuples ? tuples->size() : 0) + "\n";
    if (tuples)
        for (const std::string& tuple : *tuples) text += tuple + "\n";
    return text + "check " + text_sha256(text).value_or("").substr(0, 32) + "\n";
}

// The tuples an entry's text holds for this key; none unless every line is
// as entry_text writes it.
std::optional<PaletteFinding> parse_entry(std::string_view text, const std::string& key) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) return std::nullopt;  // cut short
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() != 5 && lines.size() != 21) return std::nullopt;
    const std::size_t count = lines.size() - 5;
    if (lines[0] != format_line || lines[1] != "image " + key || lines[2] != "magick " + magick_build_tag() ||
        lines[3] != "colours " + std::to_string(count))
        return std::nullopt;
    const std::string_view checked = text.substr(0, text.size() - lines.back().size() - 1);
    const std::optional<std::string> sum = text_sha256(checked);
    if (!sum || lines.back() != "check " + sum->substr(0, 32)) return std::nullopt;
    PaletteFinding found{std::nullopt, true};
    if (count == 0) return found;
    found.tuples.emplace();
    for (std::size_t line = 4; line < 4 + count; ++line) {
        if (!is_tuple(lines[line])) return std::nullopt;
        found.tuples->emplace_back(lines[line]);
    }
    return found;
}

bool is_temporary(std::string_view name) {
    return name.size() > 11 && name.substr(0, 7) == ".zelvo-" && name.substr(name.size() - 4) == ".tmp";
}

// See palette_cache_prune.
std::size_t prune(int folder, std::size_t most, std::size_t slice) {
    UniqueDescriptor own(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const DirectoryPtr directory(own.get() < 0 ? nullptr : fdopendir(own.get()));
    if (!directory) return 0;
    own.release();
    std::vector<std::string> names;
    std::size_t entries = 0;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = readdir(directory.get())) {
        if (is_temporary(entry->d_name)) {
            struct stat status{};
            if (fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                now - status.st_mtim.tv_sec > stale_seconds)
                unlinkat(folder, entry->d_name, 0);
        } else if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
            ++entries;
        }
    }
    // Within the bound, the names are all it costs.
    if (entries <= most) return 0;

    std::vector<std::pair<timespec, std::string>> used;
    for (std::string& name : names) {
        struct stat status{};
        if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            used.emplace_back(status.st_mtim, std::move(name));
    }
    const std::size_t keep = most - most / 10;
    if (used.size() <= keep) return 0;
    const std::size_t removing = std::min(used.size() - keep, slice);
    const auto older = [](const auto& one, const auto& two) {
        return one.first.tv_sec != two.first.tv_sec ? one.first.tv_sec < two.first.tv_sec
                                                    : one.first.tv_nsec < two.first.tv_nsec;
    };
    const auto cut = used.begin() + static_cast<std::ptrdiff_t>(removing);
    std::nth_element(used.begin(), cut, used.end(), older);
    std::size_t removed = 0;
    for (auto entry = used.begin(); entry != cut; ++entry)
        if (unlinkat(folder, entry->second.c_str(), 0) == 0) ++removed;
    return removed;
}

}  // namespace

bool palette_cache_usable(const std::string& folder) {
    struct stat status{};
    const char* why = nullptr;
    if (lstat(folder.c_str(), &status) != 0) {
        if (errno == ENOENT && mkdir(folder.c_str(), 0700) == 0) return true;
        why = std::strerror(errno);
    } else if (S_ISLNK(status.st_mode)) {
        why = "it is a symbolic link";
    } else if (!S_ISDIR(status.st_mode)) {
        why = "it is not a folder";
    } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
        why = "it is not writable";
    }
    if (why == nullptr) return true;
    report("Zelvo cannot use the palette cache %s: %s; colours are found without it", folder.c_str(), why);
    return false;
}

std::optional<std::string> palette_cache_key(const std::string& path) {
    std::optional<std::pair<std::string, struct stat>> hashed = hash_file(path);
    if (!hashed) return std::nullopt;
    return std::move(hashed->first);
}

std::optional<PaletteFinding> palette_cache_lookup(const std::string& folder, const std::string& key) {
    const UniqueDescriptor directory = open_folder(folder);
    if (directory.get() < 0) return std::nullopt;
    const UniqueDescriptor file(
        openat(directory.get(), entry_name(key).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat status{};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > static_cast<off_t>(most_entry_bytes))
        return std::nullopt;
    std::string text(most_entry_bytes + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = read(file.get(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        if (filled == text.size()) return std::nullopt;
    }
    text.resize(filled);
    std::optional<PaletteFinding> found = parse_entry(text, key);
    // Its modification time is its last use.
    if (found) futimens(file.get(), nullptr);
    return found;
}

void palette_cache_store(const std::string& folder, const std::string& key, const std::optional<HexTuples>& tuples) {
    if (tuples && (tuples->size() != 16 || !std::all_of(tuples->begin(), tuples->end(), is_tuple))) return;
    const UniqueDescriptor directory = open_folder(folder);
    if (directory.get() < 0) return;
    // A full disk or a folder that takes nothing: the next step finds the colours again.
    replace_entry(directory.get(), entry_name(key), entry_text(key, tuples), 0600);
}

std::size_t palette_cache_prune(const std::string& folder, std::size_t most, std::size_t slice) {
    const UniqueDescriptor directory = open_folder(folder);
    return directory.get() < 0 ? 0 : prune(directory.get(), most, slice);
}

std::optional<HexTuples> find_palette_cached(const std::string& path, const std::string& folder) {
    std::optional<std::pair<std::string, struct stat>> hashed = hash_file(path);
    if (!hashed) return find_palette(path);
    if (std::optional<PaletteFinding> kept = palette_cache_lookup(folder, hashed->first)) return kept->tuples;
    PaletteFinding found = find_palette_finding(path);
    // What was read must be what was hashed: a file changed meanwhile is not kept.
    struct stat after{};
    if (found.read && stat(path.c_str(), &after) == 0 && same_file(hashed->second, after))
        palette_cache_store(folder, hashed->first, found.tuples);
    return std::move(found.tuples);
}

void PaletteCachePruner::after_change(event_base* base, const std::optional<std::string>& folder) {
    if (!folder || job_) return;
    const std::string path = *folder;
    job_ = std::make_unique<WorkerJob>(
        base,
        [path] {
            palette_cache_prune(path);
            return std::string();
        },
        prune_deadline, [this](std::optional<std::string>) { job_.reset(); });
    if (!job_->started()) job_.reset();
}

}  // namespace zelvo
