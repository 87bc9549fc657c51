#include "colour/colour_file.h"

#include <optional>
#include <string>

#include "colour/colour.h"
#include "colour/palette.h"
#include "colour/palette_cache.h"
#include "support/log.h"
#include "support/publish.h"

namespace zelvo {

namespace {

const Palette default_entries = {"#000000", "#CD0000", "#00CD00", "#CDCD00", "#0000CD", "#CD00CD",
                                 "#00CDCD", "#e5e5e5", "#7f7f7f", "#FF0000", "#00FF00", "#FFFF00",
                                 "#ADD8E6", "#FF00FF", "#00FFFF", "#FFFFFF"};

// An entry computed from hex text: read, changed by `change`, written in lower case.
template <typename Change>
std::string computed(const std::string& source, Change change) {
    Rgb colour = rgb_from_hex(source);
    change(colour);
    return rgb_to_hex(colour);
}

// c7 and c15 lean toward "#eeeeee" and c8 is the new c7 darkened; the rest
// are the image's own colours, as MagickCore wrote them.
void shape_dark(Palette& palette) {
    const Rgb light_grey = rgb_from_hex("#eeeeee");
    auto mix = [&light_grey](Rgb& colour) { colour = rgb_mix(colour, light_grey); };
    palette[7] = computed(palette[7], mix);
    palette[8] = computed(palette[7], [](Rgb& colour) { rgb_darken(colour, 0.3f); });
    palette[15] = computed(palette[15], mix);
}

// Every colour at half saturation; the first colour, lightened, becomes the
// background c0, and unchanged the foregrounds c7 and c15, with c8 darkened.
void shape_light(Palette& palette) {
    const std::string first = palette[0];
    for (std::string& entry : palette) {
        entry = computed(entry, [](Rgb& colour) {
            Hsl hsl = rgb_to_hsl(colour);
            hsl.saturation = 0.5f;
            colour = hsl_to_rgb(hsl);
        });
    }
    palette[0] = computed(first, [](Rgb& colour) { rgb_lighten(colour, 0.85f); });
    palette[7] = first;
    palette[8] = computed(first, [](Rgb& colour) { rgb_darken(colour, 0.4f); });
    palette[15] = first;
}

}  // namespace

const Palette& default_palette() { return default_entries; }

Palette shape_palette(const HexTuples& tuples, bool dark) {
    Palette palette;
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = hex_truncate(tuples.at(i));
    if (dark) {
        shape_dark(palette);
    } else {
        shape_light(palette);
    }
    return palette;
}

std::optional<Palette> image_palette(const std::string& image_path, bool dark, const std::optional<std::string>& cache) {
    std::optional<HexTuples> tuples = cache ? find_palette_cached(image_path, *cache) : find_palette(image_path);
    if (!tuples) return std::nullopt;
    return shape_palette(*tuples, dark);
}

std::string colour_file_text(const Palette& palette) {
    std::string text;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        // As "%s" prints it: an entry ends at a NUL byte of its own, should a tuple hold one.
        text += "#define c" + std::to_string(i) + " ";
        text += palette[i].c_str();
        text += '\n';
    }
    return text;
}

void write_palette(const std::string& path, const Palette& palette) {
    if (std::optional<std::string> why = replace_file(path, colour_file_text(palette)))
        report("Zelvo could not write the colour file %s: %s", path.c_str(), why->c_str());
}

void write_color_file(const std::string& home, const Palette& palette) {
    write_palette(home + "/.zelvo/colors", palette);
}

void write_default_colors(const std::string& path) { write_palette(path, default_entries); }

}  // namespace zelvo
