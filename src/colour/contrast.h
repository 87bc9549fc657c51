#pragma once

#include "colour/colour.h"
#include "colour/colour_file.h"

namespace zelvo {

// The ratio that the dim grey c8, the colour of comments and suggestions,
// needs at most: WCAG's for large text and for what is not text.
inline constexpr double dim_entry_ratio = 3.0;

// WCAG 2 relative luminance, 0 for black to 1 for white: each channel through
// the sRGB curve to linear light, weighted 0.2126, 0.7152 and 0.0722.
double rgb_luminance(const Rgb& colour);

// WCAG 2 contrast ratio of two colours, 1 to 21: (lighter + 0.05) / (darker + 0.05).
double rgb_contrast(const Rgb& a, const Rgb& b);

// The colour of the same hue and saturation, its lightness moved the least
// that reaches `ratio` against the background: away from the background
// when that direction can reach it, else the other way; black or white,
// whichever comes closer, when neither can. Unchanged when it reaches the
// ratio already.
Rgb rgb_reach_contrast(const Rgb& colour, const Rgb& background, double ratio);

// Every text colour of the palette, c1 to c7 and c9 to c15, brought to
// `ratio` against the background c0, and c8 to the smaller of `ratio` and
// dim_entry_ratio. Entries that reach it already keep their text as it is.
void palette_reach_contrast(Palette& palette, double ratio);

}  // namespace zelvo
