// Measures what the key "contrast" does to real palettes: those of the
// wallpapers of Debian's gnome-backgrounds package (or of the folder given),
// shaped dark and light. For each shaping, the lowest contrast of any text
// colour (c1 to c7 and c9 to c15) against the background c0 without the key
// and with contrast = 4.5, and the mean distance in RGB that an adjusted
// entry moved. Prints "row\tname\tvalue\tunit\treference\tratio" and
// "note\ttext" lines for bench/run.sh.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "colour/colour.h"
#include "colour/colour_file.h"
#include "colour/contrast.h"
#include "colour/palette.h"
#include "support/magick.h"

namespace {

constexpr double ratio = 4.5;

int fail(const std::string& message) { return bench::fail("zelvo_contrast_bench", message); }

bool is_text_entry(std::size_t entry) { return entry != 0 && entry != 8; }

double distance(const zelvo::Rgb& one, const zelvo::Rgb& two) {
    const auto square = [](std::uint32_t a, std::uint32_t b) {
        const double d = static_cast<double>(a) - static_cast<double>(b);
        return d * d;
    };
    return std::sqrt(square(one.red, two.red) + square(one.green, two.green) + square(one.blue, two.blue));
}

// What one shaping gives over all the wallpapers.
struct Tally {
    double lowest_before = 21;
    double lowest_after = 21;
    double lowest_dim_after = 21;
    std::size_t text_entries = 0;
    std::size_t short_before = 0;  // text entries below the ratio without the key
    std::size_t short_after = 0;
    std::size_t adjusted = 0;
    double moved = 0;  // RGB distance, summed over the adjusted entries
    std::vector<double> worst_before;  // each palette's lowest, without the key
};

void tally_palette(Tally& tally, const zelvo::Palette& shaped) {
    zelvo::Palette adjusted = shaped;
    zelvo::palette_reach_contrast(adjusted, ratio);
    const zelvo::Rgb background = zelvo::rgb_from_hex(shaped[0]);
    double worst = 21;
    for (std::size_t entry = 1; entry < shaped.size(); ++entry) {
        const zelvo::Rgb before = zelvo::rgb_from_hex(shaped[entry]);
        const zelvo::Rgb after = zelvo::rgb_from_hex(adjusted[entry]);
        if (adjusted[entry] != shaped[entry]) {
            ++tally.adjusted;
            tally.moved += distance(before, after);
        }
        if (!is_text_entry(entry)) {
            tally.lowest_dim_after = std::min(tally.lowest_dim_after, zelvo::rgb_contrast(after, background));
            continue;
        }
        const double was = zelvo::rgb_contrast(before, background);
        const double is = zelvo::rgb_contrast(after, background);
        worst = std::min(worst, was);
        tally.lowest_before = std::min(tally.lowest_before, was);
        tally.lowest_after = std::min(tally.lowest_after, is);
        ++tally.text_entries;
        tally.short_before += was < ratio;
        tally.short_after += is < ratio;
    }
    tally.worst_before.push_back(worst);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "/usr/share/backgrounds/gnome";
    zelvo::magick_start(argv[0]);
    zelvo::magick_limit_threads(4);
    std::vector<std::string> images;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string extension = entry.path().extension().string();
        // SVG is no format zelvo reads; the XML files list the slideshows.
        if (entry.is_regular_file() && extension != ".svg" && extension != ".xml") images.push_back(entry.path());
    }
    if (images.empty()) return fail("no wallpaper in " + folder + " (Debian's gnome-backgrounds installs them)");
    std::sort(images.begin(), images.end());

    Tally dark, light;
    std::size_t defaulted = 0;
    for (const std::string& image : images) {
        const std::optional<zelvo::HexTuples> tuples = zelvo::find_palette(image);
        defaulted += !tuples;
        tally_palette(dark, tuples ? zelvo::shape_palette(*tuples, true) : zelvo::default_palette());
        tally_palette(light, tuples ? zelvo::shape_palette(*tuples, false) : zelvo::default_palette());
    }
    for (const auto& [name, tally] : {std::pair{"dark", &dark}, std::pair{"light", &light}}) {
        std::printf("row\tlowest contrast of a text colour against c0, %s, contrast = 4.5 vs without the key\t%.2f\t:1\t%.2f\t%.2f\n",
                    name, tally->lowest_after, tally->lowest_before, tally->lowest_after / tally->lowest_before);
        std::printf("row\tmean RGB distance an adjusted entry moved, %s, contrast = 4.5\t%.1f\tof 441.7\t-\t-\n", name,
                    tally->adjusted ? tally->moved / static_cast<double>(tally->adjusted) : 0.0);
        std::vector<double> worst = tally->worst_before;
        std::sort(worst.begin(), worst.end());
        std::printf("note\t%s: %zu of %zu text colours below 4.5:1 without the key, %zu with it; the median palette's "
                    "worst text colour %.2f:1 without the key; %zu entries adjusted in all; c8, which needs 3:1, at "
                    "%.2f:1 or more with the key\n",
                    name, tally->short_before, tally->text_entries, tally->short_after, worst[worst.size() / 2],
                    tally->adjusted, tally->lowest_dim_after);
    }
    std::printf("note\t%zu wallpapers of %s (SVG left out), %zu of them with the default palette\n", images.size(),
                folder.c_str(), defaulted);
    zelvo::magick_stop();
    return 0;
}
