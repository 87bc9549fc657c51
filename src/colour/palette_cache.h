#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "colour/palette.h"
#include "process/worker_job.h"

namespace zelvo {

// The most entries the cache holds; past it, the least recently used go
// until a tenth of it is free again, at most palette_prune_slice at a time.
inline constexpr std::size_t most_cached_palettes = 20000;
inline constexpr std::size_t palette_prune_slice = 2000;
// Images up to this size are keyed by all their bytes; larger ones by their
// size, modification time and first and last palette_key_end_bytes, which
// can be read within any colour step's budget, however large the file.
inline constexpr long long palette_whole_key_bytes = 64LL << 20;
inline constexpr long long palette_key_end_bytes = 1LL << 20;

// Whether the folder can hold the palette cache: made when missing; one line
// when it is a symbolic link, not a folder, or not writable.
bool palette_cache_usable(const std::string& folder);

// An image's key: the SHA-256 of its bytes in hexadecimal (above
// palette_whole_key_bytes, of its size, modification time and ends), read
// from the regular file at `path` without blocking on what the path leads
// to; none when it cannot be read.
std::optional<std::string> palette_cache_key(const std::string& path);

// What find_palette_finding gave for the image of this key, as the cache in
// `folder` kept it; none when it holds no entry for it, or one that is
// truncated, corrupt or from another MagickCore. A hit counts as a use.
std::optional<PaletteFinding> palette_cache_lookup(const std::string& folder, const std::string& key);

// Keeps the tuples found for the image of this key (none: it gives no
// palette), written whole to a temporary file and renamed. A cache that
// cannot be written is passed over.
void palette_cache_store(const std::string& folder, const std::string& key,
                         const std::optional<HexTuples>& tuples);

// When the folder holds more than `most` entries, removes the least recently
// used toward nine tenths of it, at most `slice` of them, and whatever steps
// killed while writing left long ago; gives how many entries it removed.
std::size_t palette_cache_prune(const std::string& folder, std::size_t most = most_cached_palettes,
                                std::size_t slice = palette_prune_slice);

// find_palette through the cache in `folder`: the image is hashed, its entry
// used when there is one, and what a decode finds kept for the next time,
// unless the file changed while it was read. A cache that cannot be used
// leaves just the decode.
std::optional<HexTuples> find_palette_cached(const std::string& path, const std::string& folder);

// Keeps the palette cache within its bound: after each complete change, a
// prune in a worker of its own when none runs, where no change can kill it
// half-way and nothing holds up the loop.
class PaletteCachePruner {
public:
    // After a change is complete; nothing when the cache is off.
    void after_change(event_base* base, const std::optional<std::string>& folder);
    // Ends a prune that runs; before the loop's base goes.
    void stop() { job_.reset(); }

private:
    std::unique_ptr<WorkerJob> job_;
};

}  // namespace zelvo
