#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "colour/colour.h"
#include "colour/palette.h"
#include "support/magick.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

// The eight corners of the RGB cube and the eight mixes of two mid values:
// sixteen colours that a sixteen-colour quantization keeps apart.
std::vector<Rgb> block_colours() {
    std::vector<Rgb> colours;
    for (std::uint32_t low_high : {0u, 1u})
        for (std::uint32_t bits = 0; bits < 8; ++bits) {
            auto level = [&](std::uint32_t bit) { return (bits >> bit & 1) ? (low_high ? 0xaau : 0xffu) : (low_high ? 0x55u : 0u); };
            colours.push_back({level(2), level(1), level(0)});
        }
    return colours;
}

// The straightforward search: a fresh read at every requested count; gives
// the tuples and the count that gave them (0 when none did).
std::pair<std::optional<HexTuples>, int> search_by_rereading(const std::string& path) {
    for (int requested = 16; requested <= 38; ++requested) {
        std::optional<HexTuples> tuples = extract_palette(path, requested);
        if (tuples && tuples->size() == 16) return {tuples, requested};
    }
    return {std::nullopt, 0};
}

// Real images made by ImageMagick's convert in a directory of the suite's own.
class Palette : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        magick_start("zelvo_unit_tests");
        std::string pattern = (fs::temp_directory_path() / "zelvo-palette-XXXXXX").string();
        made_ = mkdtemp(pattern.data()) != nullptr;
        root_ = pattern;
        std::string blocks = "convert -size 1024x1024 xc:black";
        const std::vector<Rgb> colours = block_colours();
        for (std::size_t i = 0; i < colours.size(); ++i) {
            const std::size_t x = i % 4 * 256, y = i / 4 * 256;
            blocks += " -fill '" + rgb_to_hex(colours[i]) + "' -draw 'rectangle " + std::to_string(x) + "," +
                      std::to_string(y) + " " + std::to_string(x + 255) + "," + std::to_string(y + 255) + "'";
        }
        make(blocks + " blocks.png");
        make("convert blocks.png PNG48:blocks16.png");
        make("convert -size 256x256 xc:white -fill black -draw 'rectangle 0,0 127,255' two.png");
        // A grey ramp that reaches sixteen distinct colours only at a higher count.
        make("convert -size 64x256 gradient: -rotate 90 ramp.png");
        make("convert -size 64x64 xc:red xc:blue xc:green animation.gif");
        // Five flat colours and their blended edges: at 1600x900 no count gives
        // sixteen, at 1024x576 a count above 17 does. And a photo-like plasma.
        for (const auto& sample : {std::pair{1600, "rectangles.png"}, std::pair{1024, "rectangles-small.png"}}) {
            const int size = sample.first;
            const std::string name = sample.second;
            auto at = [&](int x, int y) { return std::to_string(x * size / 3840) + "," + std::to_string(y * size / 3840); };
            make("convert -size " + std::to_string(size) + "x" + std::to_string(size * 9 / 16) + " 'xc:#1d2b3a' +antialias -fill '#d9a441' -draw 'rectangle " +
                 at(0, 1500) + " " + at(3839, 2159) + "' -fill '#5b8c5a' -draw 'rectangle " + at(400, 300) + " " +
                 at(1599, 1199) + "' -fill '#c0392b' -draw 'rectangle " + at(2200, 600) + " " + at(3199, 1899) +
                 "' -fill '#ecf0f1' -draw 'rectangle " + at(1800, 100) + " " + at(2099, 399) + "' " + name);
        }
        make("convert -size 1024x576 -seed 7 plasma:fractal -blur 0x3 plasma.jpg");
        make("convert -size 3x1 xc:red narrow.png");
        // A photo that is 65% opaque all over, and what it shows over black, saved at 8 bits by
        // the MagickCore in use, whose composite rounds as its own (integers in 6, floats in 7).
        make("convert plasma.jpg -alpha set -channel A -evaluate set 65% +channel translucent.png");
        make("'" ZELVO_MAGICK_TOOLS "/convert' translucent.png -background black -flatten -depth 8 PNG24:flattened.png");
        std::ofstream(at("text.png")) << "not an image\n";
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }
    // A failure in the suite's set-up would have GoogleTest report its tests
    // as skipped, which CTest passes: each test fails instead.
    void SetUp() override { ASSERT_TRUE(made_) << "the suite's images could not all be made (see above)"; }
    static void make(const std::string& command) {
        if (std::system(("cd '" + root_ + "' && " + command).c_str()) == 0) return;
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        made_ = false;
    }
    static std::string at(const std::string& name) { return root_ + "/" + name; }
    static std::string root_;
    static bool made_;
};
std::string Palette::root_;
bool Palette::made_ = false;

TEST_F(Palette, SixteenBlocksGiveTheirOwnColoursInHistogramOrder) {
    std::optional<HexTuples> tuples = find_palette(at("blocks.png"));
    ASSERT_TRUE(tuples);
    ASSERT_EQ(tuples->size(), 16u);
    // Each built colour is matched by exactly one tuple; the halving blends block edges a little.
    std::vector<Rgb> unmatched = block_colours();
    for (const std::string& tuple : *tuples) {
        ASSERT_EQ(tuple.size(), 7u) << tuple;
        const Rgb colour = rgb_from_hex(tuple);
        auto near = [&](const Rgb& built) {
            auto close = [](std::uint32_t a, std::uint32_t b) { return (a > b ? a - b : b - a) <= 4; };
            return close(colour.red, built.red) && close(colour.green, built.green) && close(colour.blue, built.blue);
        };
        auto found = std::find_if(unmatched.begin(), unmatched.end(), near);
        ASSERT_NE(found, unmatched.end()) << tuple << " is near no unmatched block colour";
        unmatched.erase(found);
    }
    // The histogram's order, as the first attempt gives it.
    EXPECT_EQ(tuples, extract_palette(at("blocks.png"), 16));
}

// Deeper images would give four digits a channel, and the cut to seven
// characters would mix red and green; the tuples stay at two digits.
TEST_F(Palette, SixteenBitImageGivesTheColoursOfItsEightBitTwin) {
    ImageInfoPtr info = magick_image_info();
    ExceptionPtr exception = magick_exception();
    ASSERT_TRUE(magick_set_filename(info.get(), at("blocks16.png").c_str()));
    ImagePtr deep = magick_ping(info.get(), exception.get());
    ASSERT_TRUE(deep);
    ASSERT_EQ(deep->depth, 16u);
    std::optional<HexTuples> tuples = find_palette(at("blocks16.png"));
    ASSERT_TRUE(tuples);
    EXPECT_EQ(tuples, find_palette(at("blocks.png")));
}

// Reading and halving once, counting colours from the colour map and trying
// counts side by side must not change a single tuple: the same result as a
// fresh read at every requested count, whichever count wins or none.
TEST_F(Palette, OneReadGivesWhatRereadingGives) {
    const MagickThreadLimit daemon(4);
    ASSERT_GE(magick_thread_limit(), 2u) << "the attempts after the first need two threads to run side by side";
    const std::pair<const char*, int> cases[] = {
        {"blocks.png", 16}, {"ramp.png", 17}, {"two.png", 0}, {"rectangles.png", 0},
        {"rectangles-small.png", 17}, {"plasma.jpg", 16}};
    for (const auto& [name, first_success] : cases) {
        auto [expected, winner] = search_by_rereading(at(name));
        if (first_success == 17) {
            EXPECT_GT(winner, 16) << name << " must need more than one attempt";
        } else {
            EXPECT_EQ(winner, first_success) << name;
        }
        EXPECT_EQ(find_palette(at(name)), expected) << name;
    }
}

// A read gives every frame of an animation; the palette comes from the
// first, and the pixels of all of them are given back.
TEST_F(Palette, EveryFrameOfAnAnimationIsReleased) {
    const MagickSizeType before = GetMagickResource(MemoryResource);
    EXPECT_FALSE(find_palette(at("animation.gif")));
    EXPECT_EQ(extract_palette(at("animation.gif"), 16), HexTuples{"#FF0000"});
    EXPECT_EQ(GetMagickResource(MemoryResource), before);
}

// The screen shows a translucent image over black at 8 bits a channel: its
// palette is that of the same picture flattened and saved so.
TEST_F(Palette, ATranslucentImageGivesThePaletteOfItsFlattenedEightBitCopy) {
    const std::optional<HexTuples> tuples = find_palette(at("translucent.png"));
    ASSERT_TRUE(tuples);
    EXPECT_EQ(tuples, find_palette(at("flattened.png")));
}

TEST_F(Palette, NothingFromWhatCannotBeRead) {
    const std::string long_path = "/" + std::string(magick_filename_size, 'a') + ".png";
    // Halving a 3x1 image gives no image at all.
    for (const std::string& path : {at("missing.png"), at("text.png"), long_path, at("narrow.png")}) {
        EXPECT_FALSE(find_palette(path)) << path.size();
        EXPECT_FALSE(extract_palette(path, 16)) << path.size();
    }
}

}  // namespace
}  // namespace zelvo
