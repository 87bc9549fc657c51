#pragma once

#include <string>

#include "colour/palette.h"

namespace zelvo {

// Rewrites home + "/.zelvo/colors" whole: sixteen "#define cN #rrggbb" lines
// from the image's palette, shaped for a dark or a light scheme, or the
// default palette when the image gives none. A file that cannot be written
// is reported in one line; the call always returns.
void write_color_file(const std::string& home, const std::string& image_path, bool dark);

// Cuts the sixteen tuples to seven characters, shapes them for a dark or a
// light scheme and writes them to the colour file at `path`.
void write_shaped_colors(const std::string& path, const HexTuples& tuples, bool dark);

// Writes the fixed default palette to the colour file at `path`.
void write_default_colors(const std::string& path);

}  // namespace zelvo
