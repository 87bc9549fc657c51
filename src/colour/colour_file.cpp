#include "colour/colour_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "colour/colour.h"
#include "colour/palette.h"
#include "support/log.h"

namespace zelvo {

namespace {

using Palette = std::array<std::string, 16>;

const Palette default_palette = {"#000000", "#CD0000", "#00CD00", "#CDCD00", "#0000CD", "#CD00CD",
                                 "#00CDCD", "#e5e5e5", "#7f7f7f", "#FF0000", "#00FF00", "#FFFF00",
                                 "#ADD8E6", "#FF00FF", "#00FFFF", "#FFFFFF"};

struct FileClose {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// Writes the sixteen lines, cutting the file to zero length first. A file
// that cannot be opened or whose lines do not all reach the disk (a full
// file system) is reported; nothing else depends on it.
void write_palette(const std::string& path, const Palette& palette) {
    FilePtr file(std::fopen(path.c_str(), "w"));
    if (!file) {
        report("Zelvo could not write the colour file %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    int error = 0;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        if (std::fprintf(file.get(), "#define c%zu %s\n", i, palette[i].c_str()) < 0 && error == 0) error = errno;
    }
    if (std::fclose(file.release()) != 0 && error == 0) error = errno;
    if (error != 0) report("Zelvo could not write the colour file %s: %s", path.c_str(), std::strerror(error));
}

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

void write_color_file(const std::string& home, const std::string& image_path, bool dark) {
    const std::string path = home + "/.zelvo/colors";
    std::optional<HexTuples> tuples = find_palette(image_path);
    if (!tuples) {
        write_default_colors(path);
        return;
    }
    write_shaped_colors(path, *tuples, dark);
}

void write_shaped_colors(const std::string& path, const HexTuples& tuples, bool dark) {
    Palette palette;
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = hex_truncate(tuples.at(i));
    if (dark) {
        shape_dark(palette);
    } else {
        shape_light(palette);
    }
    write_palette(path, palette);
}

void write_default_colors(const std::string& path) { write_palette(path, default_palette); }

}  // namespace zelvo
