// MagickCore 6's pixel access for the loops of magick.cpp (see magick_pixels.h).

#include <algorithm>
#include <cstring>

#include "support/magick_pixels.h"

namespace zelvo {

// A value: the pixel's packet, then the black of a CMYK image (else zero),
// which MagickCore 6 keeps in the index queue.
MagickPixelRows::MagickPixelRows(const Image* image)
    : image_(image), value_bytes_(sizeof(PixelPacket) + sizeof(IndexPacket)) {}

bool MagickPixelRows::read(std::size_t y, ExceptionInfo* exception) {
    const std::size_t columns = image_->columns;
    const PixelPacket* pixels = GetVirtualPixels(image_, 0, static_cast<ssize_t>(y), columns, 1, exception);
    if (pixels == nullptr) return false;
    const IndexPacket* indexes = GetVirtualIndexQueue(image_);
    indexes_ = indexes;
    const bool black = image_->colorspace == CMYKColorspace && indexes != nullptr;
    joined_.resize(columns * value_bytes_);
    for (std::size_t x = 0; x < columns; ++x) {
        const IndexPacket part = black ? indexes[x] : IndexPacket{};
        std::memcpy(joined_.data() + x * value_bytes_, &pixels[x], sizeof(PixelPacket));
        std::memcpy(joined_.data() + x * value_bytes_ + sizeof(PixelPacket), &part, sizeof part);
    }
    row_ = joined_.data();
    return true;
}

std::optional<std::size_t> MagickPixelRows::entry(std::size_t x) const {
    if (indexes_ == nullptr) return std::nullopt;
    return static_cast<std::size_t>(static_cast<const IndexPacket*>(indexes_)[x]);
}

// Integer quanta: equal bytes, equal pixels.
bool MagickPixelRows::same(const unsigned char* one, const unsigned char* other) const {
    return std::memcmp(one, other, value_bytes_) == 0;
}

// The index queue of a CMYK image holds black, not the entry.
bool magick_entries_readable(const Image* image) { return image->colorspace != CMYKColorspace; }

ImagePtr magick_row_of_values(const Image* like, const std::vector<const unsigned char*>& values,
                              const std::vector<std::size_t>& entries, ExceptionInfo* exception) {
    ImagePtr row(CloneImage(like, values.size(), 1, MagickTrue, exception));
    if (!row) return row;
    PixelPacket* pixels = QueueAuthenticPixels(row.get(), 0, 0, values.size(), 1, exception);
    IndexPacket* indexes = GetAuthenticIndexQueue(row.get());
    if (pixels == nullptr || indexes == nullptr) return ImagePtr();
    for (std::size_t at = 0; at < values.size(); ++at) {
        std::memcpy(&pixels[at], values[at], sizeof(PixelPacket));
        indexes[at] = static_cast<IndexPacket>(entries[at]);
    }
    if (SyncAuthenticPixels(row.get(), exception) != MagickTrue) return ImagePtr();
    return row;
}

std::string MagickHistogram::tuple(std::size_t index) const {
    const ColorPacket& entry = static_cast<const ColorPacket*>(entries_)[index];
    MagickPixelPacket pixel;
    GetMagickPixelPacket(image_, &pixel);
    pixel.red = entry.pixel.red;
    pixel.green = entry.pixel.green;
    pixel.blue = entry.pixel.blue;
    pixel.opacity = entry.pixel.opacity;
    pixel.index = entry.index;
    // Deeper images would give four hex digits a channel, which the cut to
    // seven characters would turn into mixed-up colours.
    if (pixel.depth > 8) pixel.depth = 8;
    // GetColorTuple writes up to a full MagickCore text field.
    std::vector<char> text(MaxTextExtent);
    GetColorTuple(&pixel, MagickTrue, text.data());
    return text.data();
}

void magick_flatten_over_black(Image* image, ExceptionInfo* exception) {
    if (image->matte == MagickFalse || IsOpaqueImage(image, exception) == MagickTrue) return;
    QueryColorCompliance("black", AllCompliance, &image->background_color, exception);
    SetImageAlphaChannel(image, RemoveAlphaChannel);
    SetImageAlphaChannel(image, DeactivateAlphaChannel);
    SetImageDepth(image, magick_screen_depth);
    InheritException(exception, &image->exception);
}

void magick_sync_settings(const ImageInfo* info, Image* image, ExceptionInfo* exception) {
    static_cast<void>(exception);
    SyncImageSettings(info, image);
}

void magick_quantize(const QuantizeInfo* quantize, Image* image, ExceptionInfo* exception) {
    QuantizeImage(quantize, image);
    // MagickCore 6 keeps this step's warnings on the image itself.
    InheritException(exception, &image->exception);
}

ImagePtr magick_resize(const Image* image, std::size_t width, std::size_t height, ExceptionInfo* exception) {
    return ImagePtr(ResizeImage(image, width, height, TriangleFilter, 1.0, exception));
}

void magick_to_srgb(Image* image, ExceptionInfo* exception) {
    if (image->colorspace != sRGBColorspace) TransformImageColorspace(image, sRGBColorspace);
    InheritException(exception, &image->exception);
}

ExceptionType magick_read_severity(const Image* image, const ExceptionInfo* exception) {
    return std::max(exception->severity, image->exception.severity);
}

}  // namespace zelvo
