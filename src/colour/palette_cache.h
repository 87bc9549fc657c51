#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "colour/palette.h"

namespace zelvo {

// The most entries the cache holds; past it, the least recently used go
// until a tenth of it is free again.
inline constexpr std::size_t most_cached_palettes = 20000;

// Whether the folder can hold the palette cache: made when missing; one line
// when it is a symbolic link, not a folder, or not writable.
bool palette_cache_usable(const std::string& folder);

// An image's key: the SHA-256 of its bytes in hexadecimal, read from the
// regular file at `path` without blocking on what the path leads to; none
// when it cannot be read.
std::optional<std::string> palette_cache_key(const std::string& path);

// What find_palette_finding gave for the image of this key, as the cache in
// `folder` kept it; none when it holds no entry for it, or one that is
// truncated, corrupt or from another MagickCore. A hit counts as a use.
std::optional<PaletteFinding> palette_cache_lookup(const std::string& folder, const std::string& key);

// Keeps the tuples found for the image of this key (none: it gives no
// palette), written whole to a temporary file and renamed; then, when the
// folder holds more than `most` entries, removes the least recently used
// down to nine tenths of it. A cache that cannot be written is passed over.
void palette_cache_store(const std::string& folder, const std::string& key,
                         const std::optional<HexTuples>& tuples, std::size_t most = most_cached_palettes);

// find_palette through the cache in `folder`: the image is hashed, its entry
// used when there is one, and what a decode finds kept for the next time,
// unless the file changed while it was read. A cache that cannot be used
// leaves just the decode.
std::optional<HexTuples> find_palette_cached(const std::string& path, const std::string& folder);

}  // namespace zelvo
