// Fuzzes the colour arithmetic and the colour file. The input's first sixteen
// lines are a palette's hex tuples, as MagickCore would hand them over
// (missing lines are empty tuples); each tuple goes through the arithmetic on
// its own, and the sixteen are shaped for the dark and the light scheme and
// written to a colour file whose every line is then checked.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>

#include "colour/colour.h"
#include "colour/colour_file.h"
#include "fuzz_support.h"

using zelvo_fuzz::fail;

namespace {

using zelvo::Hsl;
using zelvo::Rgb;

std::string colour_path;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "#" and exactly six hexadecimal digits, in either case.
bool is_hex_colour(const std::string& text) {
    if (text.size() != 7 || text[0] != '#') return false;
    for (std::size_t i = 1; i < 7; ++i)
        if (hex_digit(text[i]) < 0) return false;
    return true;
}

// What rgb_to_hex must give for any colour: "#" and six lower-case digits.
bool is_computed_colour(const std::string& text) {
    if (!is_hex_colour(text)) return false;
    for (char c : text)
        if (c >= 'A' && c <= 'F') return false;
    return true;
}

// The three channels of a text that is_hex_colour accepts, read here without the code under test.
Rgb channels_of(const std::string& text) {
    auto channel = [&text](std::size_t at) {
        return static_cast<std::uint32_t>(hex_digit(text[at]) * 16 + hex_digit(text[at + 1]));
    };
    return Rgb{channel(1), channel(3), channel(5)};
}

std::string describe(const Rgb& colour) {
    return std::to_string(colour.red) + "," + std::to_string(colour.green) + "," + std::to_string(colour.blue);
}

// Whether every channel of `got` is trunc(exact) of `from`'s channel, give or
// take one: single precision may land on either side of an integer that the
// exact value nearly reaches.
template <typename Exact>
bool truncates_to(const Rgb& from, const Rgb& got, Exact exact) {
    auto near = [&exact](std::uint32_t source, std::uint32_t result) {
        return std::fabs(static_cast<double>(result) - std::floor(exact(static_cast<double>(source)))) <= 1.0;
    };
    return near(from.red, got.red) && near(from.green, got.green) && near(from.blue, got.blue);
}

bool mixes_with_light_grey(const Rgb& from, const Rgb& got) {
    return got.red == (from.red + 0xee) / 2 && got.green == (from.green + 0xee) / 2 &&
           got.blue == (from.blue + 0xee) / 2;
}

// Every operation on one tuple, whatever its text; within the program's own
// domain ("#" and six digits) the results must also be right.
void check_arithmetic(const std::string& tuple) {
    const Rgb colour = zelvo::rgb_from_hex(tuple);
    const std::string hex = zelvo::rgb_to_hex(colour);
    if (!is_computed_colour(hex)) fail("rgb_to_hex gave \"%s\"", hex.c_str());
    const Hsl hsl = zelvo::rgb_to_hsl(colour);
    const Rgb back = zelvo::hsl_to_rgb(hsl);
    Hsl half = hsl;
    half.saturation = 0.5f;
    const Rgb halved = zelvo::hsl_to_rgb(half);
    const Rgb mixed = zelvo::rgb_mix(colour, zelvo::rgb_from_hex("#eeeeee"));
    Rgb darker = colour;
    zelvo::rgb_darken(darker, 0.3f);
    Rgb lighter = colour;
    zelvo::rgb_lighten(lighter, 0.85f);

    const std::string cut = zelvo::hex_truncate(tuple);
    if (cut != tuple.substr(0, 7)) fail("hex_truncate gave \"%s\"", cut.c_str());
    if (!is_hex_colour(cut)) return;
    const Rgb expected = channels_of(cut);
    if (describe(colour) != describe(expected))
        fail("rgb_from_hex(%s) gave %s", cut.c_str(), describe(colour).c_str());
    std::string lower = cut;
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (hex != lower) fail("rgb_to_hex of %s gave %s", cut.c_str(), hex.c_str());
    // Near black and white, 1 - |2L - 1| keeps few bits: saturation may pass 1 by a hair.
    if (!(hsl.hue >= 0.0f && hsl.hue < 360.0f) || !(hsl.lightness >= 0.0f && hsl.lightness <= 1.0f) ||
        !(hsl.saturation >= 0.0f && hsl.saturation <= 1.0001f))
        fail("rgb_to_hsl(%s) gave %.9g %.9g %.9g", cut.c_str(), hsl.hue, hsl.saturation, hsl.lightness);
    auto same_or_one_less = [](std::uint32_t was, std::uint32_t is) { return is == was || is + 1 == was; };
    if (!same_or_one_less(colour.red, back.red) || !same_or_one_less(colour.green, back.green) ||
        !same_or_one_less(colour.blue, back.blue))
        fail("%s round trip through HSL gave %s", cut.c_str(), describe(back).c_str());
    if (halved.red > 255 || halved.green > 255 || halved.blue > 255)
        fail("%s at half saturation gave %s", cut.c_str(), describe(halved).c_str());
    if (!mixes_with_light_grey(colour, mixed))
        fail("%s mixed with #eeeeee gave %s", cut.c_str(), describe(mixed).c_str());
    if (!truncates_to(colour, darker, [](double x) { return x * 0.7; }))
        fail("%s darkened by 0.3 gave %s", cut.c_str(), describe(darker).c_str());
    if (!truncates_to(colour, lighter, [](double x) { return (255 - x) * 0.85 + x; }))
        fail("%s lightened by 0.85 gave %s", cut.c_str(), describe(lighter).c_str());
}

// The text that "%s" prints of an entry: up to its first NUL.
std::string printed(const std::string& entry) { return entry.substr(0, entry.find('\0')); }

// Checks the colour file that the shaped palette of these tuples left.
void check_colour_file(const zelvo::HexTuples& tuples, bool dark) {
    const std::string text = zelvo_fuzz::read_file(colour_path);
    const char* scheme = dark ? "dark" : "light";
    std::string cut[16];
    std::string entry[16];
    bool all_hex = true;
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        cut[i] = tuples[static_cast<std::size_t>(i)].substr(0, 7);
        all_hex = all_hex && is_hex_colour(cut[i]);
        const std::string prefix = "#define c" + std::to_string(i) + " ";
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos || text.compare(at, prefix.size(), prefix) != 0)
            fail("%s: line %d of the colour file is missing or does not start \"%s\"", scheme, i, prefix.c_str());
        entry[i] = text.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    if (at != text.size()) fail("%s: the colour file has more than sixteen lines", scheme);

    // Which entries the shaping computes, and which it copies from a cut tuple.
    for (int i = 0; i < 16; ++i) {
        const bool computed = dark ? (i == 7 || i == 8 || i == 15) : (i != 7 && i != 15);
        const std::string& copied = dark ? cut[i] : cut[0];
        if (computed ? !is_computed_colour(entry[i]) : entry[i] != printed(copied))
            fail("%s: c%d is \"%s\"", scheme, i, entry[i].c_str());
    }
    if (!all_hex) return;

    Rgb colour[16];
    for (int i = 0; i < 16; ++i) colour[i] = channels_of(entry[i]);
    if (dark) {
        if (!mixes_with_light_grey(channels_of(cut[7]), colour[7]) ||
            !mixes_with_light_grey(channels_of(cut[15]), colour[15]) ||
            !truncates_to(colour[7], colour[8], [](double x) { return x * 0.7; }))
            fail("dark: c7 %s c8 %s c15 %s", entry[7].c_str(), entry[8].c_str(), entry[15].c_str());
        return;
    }
    const Rgb first = channels_of(cut[0]);
    if (!truncates_to(first, colour[0], [](double x) { return (255 - x) * 0.85 + x; }) ||
        !truncates_to(first, colour[8], [](double x) { return x * 0.6; }))
        fail("light: c0 %s c8 %s from %s", entry[0].c_str(), entry[8].c_str(), cut[0].c_str());
    // Half saturation keeps the lightness, but for the truncation of each channel.
    for (int i = 1; i < 15; ++i) {
        if (i == 7 || i == 8) continue;
        const float was = zelvo::rgb_to_hsl(channels_of(cut[i])).lightness;
        const float is = zelvo::rgb_to_hsl(colour[i]).lightness;
        if (std::fabs(was - is) > 1.0f / 255.0f) fail("light: c%d %s from %s", i, entry[i].c_str(), cut[i].c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvo_fuzz::keep_standard_error();
    colour_path = zelvo_fuzz::temp_directory("zelvo-colour-fuzz") + "/colors";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    zelvo::HexTuples tuples;
    std::size_t at = 0;
    while (tuples.size() < 16 && at <= input.size()) {
        std::size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        tuples.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    tuples.resize(16);

    for (const std::string& tuple : tuples) check_arithmetic(tuple);
    for (bool dark : {true, false}) {
        // A fresh file each time: see zelvo_fuzz::write_file.
        unlink(colour_path.c_str());
        zelvo::write_palette(colour_path, zelvo::shape_palette(tuples, dark));
        check_colour_file(tuples, dark);
    }
    return 0;
}
