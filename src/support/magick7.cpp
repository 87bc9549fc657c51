// MagickCore 7's pixel access for the loops of magick.cpp (see magick_pixels.h).

#include <algorithm>
#include <cstring>

#include "support/magick_pixels.h"

namespace zelvo {

MagickPixelRows::MagickPixelRows(const Image* image)
    : image_(image), value_bytes_(GetPixelChannels(image) * sizeof(Quantum)) {}

bool MagickPixelRows::read(std::size_t y, ExceptionInfo* exception) {
    const Quantum* row = GetVirtualPixels(image_, 0, static_cast<ssize_t>(y), image_->columns, 1, exception);
    row_ = reinterpret_cast<const unsigned char*>(row);
    return row != nullptr;
}

std::optional<std::size_t> MagickPixelRows::entry(std::size_t x) const {
    // The row's own quanta, which value() hands out as bytes.
    const Quantum index = GetPixelIndex(image_, reinterpret_cast<const Quantum*>(value(x)));
    if (!(index >= 0 && index < static_cast<Quantum>(image_->colors))) return std::nullopt;
    return static_cast<std::size_t>(index);
}

// Channel by channel, as quanta: with HDRI a quantum is a float.
bool MagickPixelRows::same(const unsigned char* one, const unsigned char* other) const {
    for (std::size_t at = 0; at < value_bytes_; at += sizeof(Quantum)) {
        Quantum first;
        Quantum second;
        std::memcpy(&first, one + at, sizeof first);
        std::memcpy(&second, other + at, sizeof second);
        if (!(first == second)) return false;
    }
    return true;
}

bool magick_entries_readable(const Image* image) { return GetPixelIndexTraits(image) != UndefinedPixelTrait; }

ImagePtr magick_row_of_values(const Image* like, const std::vector<const unsigned char*>& values,
                              const std::vector<std::size_t>&, ExceptionInfo* exception) {
    ImagePtr row(CloneImage(like, values.size(), 1, MagickTrue, exception));
    if (!row) return row;
    const std::size_t channels = GetPixelChannels(like);
    Quantum* pixels = QueueAuthenticPixels(row.get(), 0, 0, values.size(), 1, exception);
    if (pixels == nullptr || GetPixelChannels(row.get()) != channels) return ImagePtr();
    // The entry is one of the channels of each value.
    for (std::size_t at = 0; at < values.size(); ++at)
        std::memcpy(pixels + at * channels, values[at], channels * sizeof(Quantum));
    if (SyncAuthenticPixels(row.get(), exception) != MagickTrue) return ImagePtr();
    return row;
}

std::string MagickHistogram::tuple(std::size_t index) const {
    PixelInfo pixel;
    GetPixelInfo(image_, &pixel);
    pixel = static_cast<const PixelInfo*>(entries_)[index];
    // Deeper images would give four hex digits a channel, which the cut to
    // seven characters would turn into mixed-up colours.
    if (pixel.depth > 8) pixel.depth = 8;
    // GetColorTuple writes up to a full MagickCore text field.
    std::vector<char> text(MagickPathExtent);
    GetColorTuple(&pixel, MagickTrue, text.data());
    return text.data();
}

void magick_flatten_over_black(Image* image, ExceptionInfo* exception) {
    if (image->alpha_trait == UndefinedPixelTrait || IsImageOpaque(image, exception) == MagickTrue) return;
    QueryColorCompliance("black", AllCompliance, &image->background_color, exception);
    // Composites over the background colour; the channel it leaves, if any, goes too.
    SetImageAlphaChannel(image, RemoveAlphaChannel, exception);
    SetImageAlphaChannel(image, OffAlphaChannel, exception);
    SetImageDepth(image, magick_screen_depth, exception);
}

void magick_sync_settings(const ImageInfo* info, Image* image, ExceptionInfo* exception) {
    SyncImageSettings(info, image, exception);
}

void magick_quantize(const QuantizeInfo* quantize, Image* image, ExceptionInfo* exception) {
    QuantizeImage(quantize, image, exception);
}

ImagePtr magick_resize(const Image* image, std::size_t width, std::size_t height, ExceptionInfo* exception) {
    return ImagePtr(ResizeImage(image, width, height, TriangleFilter, exception));
}

void magick_to_srgb(Image* image, ExceptionInfo* exception) {
    if (image->colorspace != sRGBColorspace) TransformImageColorspace(image, sRGBColorspace, exception);
}

ExceptionType magick_read_severity(const Image* image, const ExceptionInfo* exception) {
    static_cast<void>(image);
    return exception->severity;
}

}  // namespace zelvo
