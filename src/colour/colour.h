#pragma once

#include <cstdint>
#include <string>

namespace zelvo {

// A colour as three channels, 0..255 in a valid colour.
struct Rgb {
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;
};

// Hue in degrees [0, 360), saturation and lightness in 0..1.
struct Hsl {
    float hue = 0;
    float saturation = 0;
    float lightness = 0;
};

// The first seven characters of a hex tuple ("#" and three two-digit channels).
std::string hex_truncate(const std::string& tuple);

// Reads "#rrggbb" in either case; a channel that cannot be read is 0.
Rgb rgb_from_hex(const std::string& text);

// "#rrggbb" in lower case, cut to seven characters.
std::string rgb_to_hex(const Rgb& colour);

// The channel-wise mean, rounded down (computed in double precision).
Rgb rgb_mix(const Rgb& a, const Rgb& b);

// Scales every channel by 1 - amount.
void rgb_darken(Rgb& colour, float amount);

// Moves every channel toward 255 by the amount.
void rgb_lighten(Rgb& colour, float amount);

Hsl rgb_to_hsl(const Rgb& colour);
Rgb hsl_to_rgb(const Hsl& colour);

}  // namespace zelvo
