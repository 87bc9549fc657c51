#pragma once

#include <cstdint>
#include <string_view>

namespace zelvo {

// How feh fits an image to a monitor, by the name of its option
// (`bg-style`); a name it does not know is feh's default, scale.
enum class PictureStyle { scale, fill, max, center, tile };

PictureStyle picture_style(std::string_view bg_style);

// A rectangle of pixels: of an image, or of a monitor from its top-left corner.
struct PictureRect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const PictureRect&) const = default;
};

// Where an image goes on a monitor: the part `from` of the image, scaled to
// `to` on the monitor, black around it; a tiled image is repeated from the
// monitor's top-left corner at its own size (`to` is then the first tile).
struct PictureFit {
    PictureRect from;
    PictureRect to;
    bool tile = false;

    bool operator==(const PictureFit&) const = default;
};

// The fit of an image of the given size on a monitor of the given size, as
// feh draws it: scale stretches it to the monitor; fill keeps its aspect and
// covers the monitor, cut in the centre; max keeps its aspect and fits
// inside, centred; center draws it unscaled, centred, cut where larger than
// the monitor. Every side is at least 1 pixel.
PictureFit picture_fit(PictureStyle style, std::uint32_t image_width, std::uint32_t image_height,
                       std::uint32_t monitor_width, std::uint32_t monitor_height);

}  // namespace zelvo
