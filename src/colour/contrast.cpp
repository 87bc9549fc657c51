#include "colour/contrast.h"

#include <algorithm>
#include <cmath>

#include "colour/exports.h"

namespace zelvo {

namespace {

// A channel of 0..255 as linear light, by the sRGB curve. The curve's knee
// is 0.04045 in the sRGB standard and 0.03928 in WCAG 2's text; no channel of
// 0..255 lies between the two, so either gives the same luminance.
double linear_channel(std::uint32_t channel) {
    const double value = channel / 255.0;
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

Rgb with_lightness(Hsl colour, float lightness) {
    colour.lightness = lightness;
    return hsl_to_rgb(colour);
}

}  // namespace

double rgb_luminance(const Rgb& colour) {
    return 0.2126 * linear_channel(colour.red) + 0.7152 * linear_channel(colour.green) +
           0.0722 * linear_channel(colour.blue);
}

double rgb_contrast(const Rgb& a, const Rgb& b) {
    const double one = rgb_luminance(a);
    const double other = rgb_luminance(b);
    return (std::max(one, other) + 0.05) / (std::min(one, other) + 0.05);
}

// Luminance rises with HSL lightness at a fixed hue and saturation (every
// channel does), and so does the contrast on either side of the background:
// the least move is found by halving the span of lightness between the
// colour and white (or black) until it is one float wide. The colours along
// the way are those of hsl_to_rgb, channels truncated, as the palette's
// shaping makes them.
Rgb rgb_reach_contrast(const Rgb& colour, const Rgb& background, double ratio) {
    if (rgb_contrast(colour, background) >= ratio) return colour;
    const Rgb black{0, 0, 0};
    const Rgb white{255, 255, 255};
    const double with_white = rgb_contrast(white, background);
    const double with_black = rgb_contrast(black, background);
    if (with_white < ratio && with_black < ratio) return with_white >= with_black ? white : black;

    const double own = rgb_luminance(colour);
    const double behind = rgb_luminance(background);
    bool lighter = own > behind || (own == behind && with_white >= with_black);
    // Away from the background when that way reaches the ratio; else across it.
    if (lighter && with_white < ratio) lighter = false;
    if (!lighter && with_black < ratio) lighter = true;

    const Hsl hsl = rgb_to_hsl(colour);
    const auto reaches = [&](float lightness) {
        return rgb_contrast(with_lightness(hsl, lightness), background) >= ratio;
    };
    float short_of = hsl.lightness;
    float reached = lighter ? 1.0f : 0.0f;
    if (reaches(short_of)) return with_lightness(hsl, short_of);
    for (;;) {
        const float middle = short_of + (reached - short_of) / 2.0f;
        if (middle == short_of || middle == reached) break;
        (reaches(middle) ? reached : short_of) = middle;
    }
    return with_lightness(hsl, reached);
}

void palette_reach_contrast(Palette& palette, double ratio) {
    static_assert(background_entry == 0, "the text colours are c1 to c15");
    const Rgb background = rgb_from_hex(palette[background_entry]);
    for (std::size_t entry = 1; entry < palette.size(); ++entry) {
        const double needed = entry == 8 ? std::min(ratio, dim_entry_ratio) : ratio;
        const Rgb colour = rgb_from_hex(palette[entry]);
        if (rgb_contrast(colour, background) >= needed) continue;
        palette[entry] = rgb_to_hex(rgb_reach_contrast(colour, background, needed));
    }
}

}  // namespace zelvo
