#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// Hex tuples as MagickCore writes them ("#" and the channel digits), in the
// order of the image's histogram.
using HexTuples = std::vector<std::string>;

// Reads the image (a file path or a URL), takes it over black where it is
// transparent (as feh shows it), halves it twice, quantizes it to
// `requested` colours and gives the distinct colours that remain; nothing
// when the image cannot be read or a step gives no image.
std::optional<HexTuples> extract_palette(const std::string& path, int requested);

// The first result of exactly sixteen tuples for a requested count from 16
// to 38, as extract_palette would give it; nothing when no count gives
// sixteen or the image cannot be read.
std::optional<HexTuples> find_palette(const std::string& path);

// What find_palette gives, and whether the image was read at all: an image
// that was read gives the same tuples, or none, whenever it is read again.
struct PaletteFinding {
    std::optional<HexTuples> tuples;
    bool read = false;
};
PaletteFinding find_palette_finding(const std::string& path);

}  // namespace zelvo
