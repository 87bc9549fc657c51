#include "picture/picture_fit.h"

#include <algorithm>

namespace zelvo {

namespace {

std::uint32_t at_least_one(std::uint64_t value) { return static_cast<std::uint32_t>(std::max<std::uint64_t>(value, 1)); }

// Centres `inner` of `outer` along one side, as feh does with a shift: a part
// that does not fit is cut, its odd pixel from the far side.
void centre(std::uint32_t inner, std::uint32_t outer, std::uint32_t& from, std::uint32_t& to, std::uint32_t& length) {
    if (inner <= outer) {
        from = 0;
        to = (outer - inner) / 2;
        length = inner;
    } else {
        from = (inner - outer + 1) / 2;
        to = 0;
        length = outer;
    }
}

}  // namespace

PictureStyle picture_style(std::string_view bg_style) {
    if (bg_style == "--bg-fill") return PictureStyle::fill;
    if (bg_style == "--bg-max") return PictureStyle::max;
    if (bg_style == "--bg-center") return PictureStyle::center;
    if (bg_style == "--bg-tile") return PictureStyle::tile;
    return PictureStyle::scale;
}

PictureFit picture_fit(PictureStyle style, std::uint32_t image_width, std::uint32_t image_height,
                       std::uint32_t monitor_width, std::uint32_t monitor_height) {
    const std::uint64_t iw = std::max<std::uint32_t>(image_width, 1), ih = std::max<std::uint32_t>(image_height, 1);
    const std::uint64_t mw = std::max<std::uint32_t>(monitor_width, 1), mh = std::max<std::uint32_t>(monitor_height, 1);
    const PictureRect image{0, 0, static_cast<std::uint32_t>(iw), static_cast<std::uint32_t>(ih)};
    const PictureRect monitor{0, 0, static_cast<std::uint32_t>(mw), static_cast<std::uint32_t>(mh)};
    // Whether the image is wider, for its height, than the monitor.
    const bool wider = iw * mh > ih * mw;
    PictureFit fit{image, monitor, false};
    switch (style) {
    case PictureStyle::scale:
        break;
    case PictureStyle::fill:
        if (wider) {
            fit.from.width = at_least_one(ih * mw / mh);
            fit.from.x = static_cast<std::uint32_t>((iw - fit.from.width) / 2);
        } else {
            fit.from.height = at_least_one(iw * mh / mw);
            fit.from.y = static_cast<std::uint32_t>((ih - fit.from.height) / 2);
        }
        break;
    case PictureStyle::max:
        if (wider) {
            fit.to.height = at_least_one(ih * mw / iw);
            fit.to.y = static_cast<std::uint32_t>((mh - fit.to.height) / 2);
        } else {
            fit.to.width = at_least_one(iw * mh / ih);
            fit.to.x = static_cast<std::uint32_t>((mw - fit.to.width) / 2);
        }
        break;
    case PictureStyle::center:
        centre(image.width, monitor.width, fit.from.x, fit.to.x, fit.from.width);
        centre(image.height, monitor.height, fit.from.y, fit.to.y, fit.from.height);
        fit.to.width = fit.from.width;
        fit.to.height = fit.from.height;
        break;
    case PictureStyle::tile:
        fit.to = PictureRect{0, 0, image.width, image.height};
        fit.tile = true;
        break;
    }
    return fit;
}

}  // namespace zelvo
