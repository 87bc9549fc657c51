#include "colour/colour.h"

#include <cmath>
#include <cstdio>

// Every intermediate result is rounded to the precision it is declared in and
// every channel is truncated toward zero: the palette files that terminals
// load depend on these exact digits.

namespace zelvo {

namespace {

std::uint32_t channel_from(float value) {
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

std::uint32_t channel_from(double value) {
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

float unit_channel(std::uint32_t channel) { return static_cast<float>(channel / 255.0); }

}  // namespace

std::string hex_truncate(const std::string& tuple) { return tuple.substr(0, 7); }

Rgb rgb_from_hex(const std::string& text) {
    unsigned int red = 0;
    unsigned int green = 0;
    unsigned int blue = 0;
    std::sscanf(text.c_str(), "#%02x%02x%02x", &red, &green, &blue);
    return Rgb{red, green, blue};
}

std::string rgb_to_hex(const Rgb& colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.red, colour.green, colour.blue);
    return text;
}

Rgb rgb_mix(const Rgb& a, const Rgb& b) {
    auto mean = [](std::uint32_t x, std::uint32_t y) {
        return channel_from(static_cast<double>(x) * 0.5 + static_cast<double>(y) * 0.5);
    };
    return Rgb{mean(a.red, b.red), mean(a.green, b.green), mean(a.blue, b.blue)};
}

void rgb_darken(Rgb& colour, float amount) {
    const float scale = 1.0f - amount;
    for (std::uint32_t* channel : {&colour.red, &colour.green, &colour.blue})
        *channel = channel_from(static_cast<float>(*channel) * scale);
}

void rgb_lighten(Rgb& colour, float amount) {
    for (std::uint32_t* channel : {&colour.red, &colour.green, &colour.blue}) {
        const float value = static_cast<float>(*channel);
        *channel = channel_from((255.0f - value) * amount + value);
    }
}

Hsl rgb_to_hsl(const Rgb& colour) {
    const float r = unit_channel(colour.red);
    const float g = unit_channel(colour.green);
    const float b = unit_channel(colour.blue);
    const float max = std::fmax(r, std::fmax(g, b));
    const float min = std::fmin(r, std::fmin(g, b));
    const float lightness = (max + min) * 0.5f;
    const float chroma = max - min;
    if (chroma == 0.0f) return Hsl{0.0f, 0.0f, lightness};

    const float saturation = chroma / (1.0f - std::fabs(lightness + lightness - 1.0f));
    float h = 0;
    if (max == r)
        h = std::fmod((g - b) / chroma, 6.0f);
    else if (max == g)
        h = (b - r) / chroma + 2.0f;
    else
        h = (r - g) / chroma + 4.0f;
    float hue = h * 60.0f;
    if (hue < 0.0f) hue += 360.0f;
    if (hue >= 360.0f) hue = std::fmod(hue, 360.0f);
    return Hsl{hue, saturation, lightness};
}

Rgb hsl_to_rgb(const Hsl& colour) {
    const float lightness = colour.lightness;
    const float chroma = (1.0f - std::fabs(lightness + lightness - 1.0f)) * colour.saturation;
    const float h = std::fmod(colour.hue / 60.0f, 2.0f);
    const float x = (1.0f - std::fabs(h - 1.0f)) * chroma;

    float r = 0, g = 0, b = 0;
    const float hue = colour.hue;
    if (hue >= 0.0f && hue < 60.0f) {
        r = chroma, g = x;
    } else if (hue >= 60.0f && hue < 120.0f) {
        r = x, g = chroma;
    } else if (hue >= 120.0f && hue < 180.0f) {
        g = chroma, b = x;
    } else if (hue >= 180.0f && hue < 240.0f) {
        g = x, b = chroma;
    } else if (hue >= 240.0f && hue < 300.0f) {
        r = x, b = chroma;
    } else if (hue >= 300.0f && hue < 360.0f) {
        r = chroma, b = x;
    }
    const float m = lightness + chroma * -0.5f;
    return Rgb{channel_from((r + m) * 255.0f), channel_from((g + m) * 255.0f),
               channel_from((b + m) * 255.0f)};
}

}  // namespace zelvo
