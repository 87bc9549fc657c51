#pragma once

#include <array>
#include <optional>
#include <string>

#include "colour/palette.h"

namespace zelvo {

// The sixteen entries c0 to c15 of a colour file, each "#" and six hexadecimal digits.
using Palette = std::array<std::string, 16>;

// The palette written when an image gives none.
const Palette& default_palette();

// Cuts the sixteen tuples to seven characters and shapes them for a dark or a light scheme.
Palette shape_palette(const HexTuples& tuples, bool dark);

// The palette of the image, shaped; none when the image gives no sixteen
// colours. With a cache folder, an image seen before is not read again (see
// find_palette_cached).
std::optional<Palette> image_palette(const std::string& image_path, bool dark,
                                     const std::optional<std::string>& cache = std::nullopt);

// The colour file's content: sixteen "#define cN #rrggbb" lines, each entry
// up to its first NUL.
std::string colour_file_text(const Palette& palette);

// Replaces the colour file at `path` whole with the palette (see
// replace_file). A file that cannot be written is reported in one line and
// left as it was; the call always returns.
void write_palette(const std::string& path, const Palette& palette);

// Rewrites home + "/.zelvo/colors" whole: sixteen "#define cN #rrggbb" lines
// of the palette that the colour step found for the wallpaper (shaped for a
// dark or a light scheme), or gave when the image gives none: the default
// palette. The step decodes the image in a worker of its own (ColourChild);
// this writes what it gave. A file that cannot be written is reported in one
// line; the call always returns.
void write_color_file(const std::string& home, const Palette& palette);

// Writes the fixed default palette to the colour file at `path`.
void write_default_colors(const std::string& path);

}  // namespace zelvo
