#include <gtest/gtest.h>

#include <tuple>

#include "colour/contrast.h"

namespace zelvo {
namespace {

// Worked out by hand from WCAG 2: a channel c/255 = x is linear light x/12.92
// up to 0.04045 and ((x + 0.055) / 1.055)^2.4 above, luminance is 0.2126 R +
// 0.7152 G + 0.0722 B, and the ratio (lighter + 0.05) / (darker + 0.05).
TEST(Contrast, LuminanceAndRatioFollowWcag) {
    EXPECT_DOUBLE_EQ(rgb_luminance(rgb_from_hex("#000000")), 0.0);
    EXPECT_DOUBLE_EQ(rgb_luminance(rgb_from_hex("#ffffff")), 1.0);
    EXPECT_NEAR(rgb_contrast(rgb_from_hex("#ffffff"), rgb_from_hex("#000000")), 21.0, 1e-12);
    // 118/255 = 0.46275 gives 0.18116: the lightest grey that reads on white.
    EXPECT_NEAR(rgb_contrast(rgb_from_hex("#767676"), rgb_from_hex("#ffffff")), 4.542, 0.001);
    // 10/255 lies below the knee of both versions of the curve.
    EXPECT_NEAR(rgb_luminance(rgb_from_hex("#0a0a0a")), 10 / 255.0 / 12.92, 1e-15);
    EXPECT_NEAR(rgb_luminance(rgb_from_hex("#00ff00")), 0.7152, 1e-12);
}

// Each answer is the first colour along the lightness of the colour's own hue
// and saturation that reaches the ratio, found by hand from the luminance it
// needs: on black, grey g reaches 4.5 when ((g/255 + 0.055) / 1.055)^2.4 >=
// 0.175, first at g = 117; blue keeps 255 and raises red and green together,
// (0.9278 s(v) + 0.0722 + 0.05) / 0.05 >= 4.5 first at v = 94.
TEST(Contrast, EachColourMovesTheLeastThatReachesTheRatio) {
    const std::tuple<const char*, const char*, double, const char*> cases[] = {
        {"#555555", "#000000", 4.5, "#757575"},  // lighter, away from black
        {"#aaaaaa", "#ffffff", 4.5, "#767676"},  // darker, away from white
        {"#0000ff", "#000000", 4.5, "#5e5eff"},  // hue and saturation kept
        {"#ff0000", "#ffffff", 4.5, "#ee0000"},  // 238: 4.530, 239: 4.497
        {"#00ff00", "#ffffff", 4.5, "#008a00"},  // 138: 4.531, 139: 4.475
        {"#333333", "#000000", 3.0, "#5a5a5a"},  // s(g) >= 0.1 first at g = 90
        {"#ff0000", "#000000", 4.5, "#ff0000"},  // 5.25 already: unchanged
        // Just above mid-grey, white cannot reach 4.5 (4.48) but black can
        // (4.69): across the background, to s(g) <= 0.0021, g = 6.
        {"#7a7a7a", "#777777", 4.5, "#060606"},
        // Neither reaches 7: black (4.69) comes closer than white (4.48).
        {"#808080", "#777777", 7.0, "#000000"},
        {"#808080", "#000000", 21.0, "#ffffff"},
    };
    for (const auto& [colour, background, ratio, expected] : cases)
        EXPECT_EQ(rgb_to_hex(rgb_reach_contrast(rgb_from_hex(colour), rgb_from_hex(background), ratio)), expected)
            << colour << " on " << background << " at " << ratio;
}

TEST(Contrast, ThePaletteKeepsWhatReachesAndTheDimGreyNeedsAtMostThree) {
    const Palette shaped = {"#000000", "#555555", "#FF0000", "#0000ff", "#aaaaaa", "#333333", "#ffffff", "#e5e5e5",
                            "#333333", "#555555", "#00FF00", "#0000FF", "#ADD8E6", "#FF00FF", "#00FFFF", "#FFFFFF"};
    Palette palette = shaped;
    palette_reach_contrast(palette, 1.0);
    EXPECT_EQ(palette, shaped);

    palette_reach_contrast(palette, 4.5);
    Palette expected = shaped;
    expected[1] = expected[9] = "#757575";
    expected[3] = expected[11] = "#5e5eff";
    expected[5] = "#757575";
    expected[8] = "#5a5a5a";  // 3, not 4.5
    EXPECT_EQ(palette, expected);

    // Nothing reaches 21 on black but white; c8 still needs only 3.
    palette = shaped;
    palette_reach_contrast(palette, 21.0);
    for (std::size_t entry = 1; entry < palette.size(); ++entry) {
        const bool white = rgb_to_hex(rgb_from_hex(shaped[entry])) == "#ffffff";
        EXPECT_EQ(palette[entry], entry == 8 ? "#5a5a5a" : white ? shaped[entry] : "#ffffff") << entry;
    }
    EXPECT_EQ(palette[0], "#000000");
}

}  // namespace
}  // namespace zelvo
