#include <gtest/gtest.h>

#include <tuple>

#include "colour/colour.h"

namespace zelvo {
namespace {

using Pair = std::pair<const char*, const char*>;

TEST(Colour, RgbToHsl) {
    const std::tuple<const char*, float, float, float> cases[] = {
        {"#000000", 0, 0, 0},
        {"#ffffff", 0, 0, 1},
        {"#808080", 0, 0, static_cast<float>(128 / 255.0)},
    };
    for (const auto& [hex, hue, saturation, lightness] : cases) {
        Hsl hsl = rgb_to_hsl(rgb_from_hex(hex));
        EXPECT_EQ(std::tie(hsl.hue, hsl.saturation, hsl.lightness),
                  std::tie(hue, saturation, lightness)) << hex;
    }
    const float hue = rgb_to_hsl(rgb_from_hex("#ff0080")).hue;  // red is largest, blue above green
    EXPECT_NEAR(hue, 329.88f, 0.01f);
}

TEST(Colour, HslRoundTripAndHalfSaturation) {
    const Pair round_trip[] = {
        {"#ff0000", "#ff0000"}, {"#1a2b3c", "#1a2b3c"}, {"#336699", "#326699"}, {"#ff0080", "#ff007f"}};
    for (const auto& [in, out] : round_trip)
        EXPECT_EQ(rgb_to_hex(hsl_to_rgb(rgb_to_hsl(rgb_from_hex(in)))), out);

    const Pair half_saturation[] = {{"#ff0000", "#bf3f3f"}, {"#cd0000", "#993333"}, {"#00cdcd", "#339999"},
                                    {"#000000", "#000000"}, {"#ffffff", "#ffffff"}, {"#808080", "#bf4040"}};
    for (const auto& [in, out] : half_saturation) {
        Hsl hsl = rgb_to_hsl(rgb_from_hex(in));
        hsl.saturation = 0.5f;
        EXPECT_EQ(rgb_to_hex(hsl_to_rgb(hsl)), out) << in;
    }

    // Every channel comes back equal or one less, whatever the hue sector.
    for (std::uint32_t red = 0; red < 256; red += 15)
        for (std::uint32_t green = 0; green < 256; green += 15)
            for (std::uint32_t blue = 0; blue < 256; blue += 15) {
                const Rgb back = hsl_to_rgb(rgb_to_hsl(Rgb{red, green, blue}));
                for (auto [was, is] : {std::pair{red, back.red}, {green, back.green}, {blue, back.blue}})
                    ASSERT_TRUE(is == was || is + 1 == was) << red << "," << green << "," << blue;
            }
}

TEST(Colour, MixDarkenLighten) {
    const std::tuple<const char*, const char*, const char*> mixes[] = {
        {"#000000", "#ffffff", "#7f7f7f"}, {"#808080", "#eeeeee", "#b7b7b7"}};
    for (const auto& [a, b, mixed] : mixes)
        EXPECT_EQ(rgb_to_hex(rgb_mix(rgb_from_hex(a), rgb_from_hex(b))), mixed);

    const std::tuple<void (*)(Rgb&, float), const char*, float, const char*> steps[] = {
        {rgb_darken, "#f6f6f6", 0.3f, "#acacac"}, {rgb_darken, "#ffffff", 0.4f, "#999999"},
        {rgb_darken, "#1a2b3c", 0.0f, "#1a2b3c"}, {rgb_lighten, "#000000", 0.85f, "#d8d8d8"},
        {rgb_lighten, "#1a2b3c", 0.85f, "#dcdfe1"}, {rgb_lighten, "#ffffff", 0.85f, "#ffffff"},
        {rgb_lighten, "#1a2b3c", 0.0f, "#1a2b3c"}, {rgb_lighten, "#1a2b3c", 1.0f, "#ffffff"}};
    for (const auto& [step, in, amount, out] : steps) {
        Rgb colour = rgb_from_hex(in);
        step(colour, amount);
        EXPECT_EQ(rgb_to_hex(colour), out) << in << " by " << amount;
    }
}

TEST(Colour, HexText) {
    const std::tuple<const char*, Rgb> reads[] = {
        {"#CD0000", {205, 0, 0}}, {"#1a2B3c", {0x1a, 0x2b, 0x3c}}, {"#1a2b3c99", {0x1a, 0x2b, 0x3c}},
        {"#12", {0x12, 0, 0}}, {"#1234", {0x12, 0x34, 0}}, {"#12zz56", {0x12, 0, 0}},
        {"red", {0, 0, 0}}, {"", {0, 0, 0}}};
    for (const auto& [text, rgb] : reads) {
        const Rgb read = rgb_from_hex(text);
        EXPECT_EQ(std::tie(read.red, read.green, read.blue), std::tie(rgb.red, rgb.green, rgb.blue)) << text;
    }
    const std::tuple<Rgb, const char*> writes[] = {
        {{205, 0, 0}, "#cd0000"}, {{0, 10, 255}, "#000aff"}, {{256, 1, 2}, "#100010"},
        {{1, 2, 0x1234}, "#010212"}};
    for (const auto& [rgb, text] : writes) EXPECT_EQ(rgb_to_hex(rgb), text);

    const Pair tuples[] = {{"#ffff0000ffff", "#ffff00"}, {"#112233ff", "#112233"}, {"#abc", "#abc"}, {"", ""}};
    for (const auto& [tuple, cut] : tuples) EXPECT_EQ(hex_truncate(tuple), cut);
}

}  // namespace
}  // namespace zelvo
