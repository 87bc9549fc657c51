#include "support/magick.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "support/log.h"

namespace zelvo {

// A PNG header may claim 100000 x 100000 pixels in a file of seventy bytes:
// unchecked, MagickCore pings it as an image and its read builds an 80 GB
// pixel cache on disk for minutes. The limits below keep such a file out at
// the ping and cap what any read may take, and still let real wallpapers
// through: a span of monitors up to 16384 wide, an 8K photo (7680 x 4320).
// They are set in pixels, so that every MagickCore takes the same images
// whatever a pixel costs it (magick_pixel_bytes).
void magick_limit_resources() {
    constexpr MagickSizeType mebi = MagickSizeType{1} << 20;
    constexpr MagickSizeType pixel = magick_pixel_bytes;
    // Twice the widest span of monitors, and beyond the long side of a photo from any camera.
    SetMagickResourceLimit(WidthResource, 32768);
    SetMagickResourceLimit(HeightResource, 32768);
    // Up to this many pixels an image may be held in memory (MagickCore counts
    // this one in pixels), and up to 64 Mi pixels may be held in all (an 8K
    // photo and its halved copy), or mapped from a disk cache; larger images
    // go to disk.
    SetMagickResourceLimit(AreaResource, 128 * mebi);
    SetMagickResourceLimit(MemoryResource, 64 * mebi * pixel);
    SetMagickResourceLimit(MapResource, 64 * mebi * pixel);
    // What does not fit is cached on disk up to 128 Mi pixels; a read that
    // needs more fails at once, before writing anything.
    SetMagickResourceLimit(DiskResource, magick_disk_bytes);
}

// Appended after the system's policy, and the last policy that matches
// decides, so these hold whatever policy.xml says before them:
// - delegates: every outside program MagickCore would start for a format
//   (gs, inkscape, rsvg-convert, ffmpeg, curl, dcraw, pcl6, gxps ...);
// - coders: none but those of the formats that feh shows, so that no other
//   of MagickCore's two hundred decoders can be reached by any name or
//   content. MagickCore tells a format from its content wherever the format
//   has a signature (a PSD called .jpg is still PSD) and from the name only
//   where it has none (TGA, ICO, CUR); its URL readers are refused with the
//   rest, since zelvo fetches URLs itself;
// - "@file" names, which read a list of further names.
// The names are those that MagickCore 6 and 7 give each of these formats,
// by content or by name, and the aliases that choose the same coder.
std::string wallpaper_policy() {
    return std::string("<policymap>"
                       "<policy domain=\"delegate\" rights=\"none\" pattern=\"*\"/>"
                       "<policy domain=\"coder\" rights=\"none\" pattern=\"*\"/>"
                       "<policy domain=\"coder\" rights=\"read\" pattern=\"{") +
           magick_wallpaper_formats +
           "}\"/>"
           "<policy domain=\"path\" rights=\"none\" pattern=\"@*\"/>"
           "</policymap>";
}

void magick_allow_wallpapers_only() {
    ExceptionPtr exception = magick_exception();
    // The policy is fixed text: only a MagickCore that cannot take it fails
    // here, and without it no file from a stranger may be probed.
    if (SetMagickSecurityPolicy(wallpaper_policy().c_str(), exception.get()) != MagickTrue) {
        report("Zelvo cannot set MagickCore's security policy: %s",
               exception->reason != nullptr ? exception->reason : "refused");
        std::abort();
    }
}

std::string magick_build_tag() {
    std::size_t number = 0;
    GetMagickVersion(&number);
    std::size_t depth = 0;
    GetMagickQuantumDepth(&depth);
    const char* features = GetMagickFeatures();
    const bool floats = features != nullptr && std::strstr(features, "HDRI") != nullptr;
    return std::to_string(number >> 8) + "-Q" + std::to_string(depth) + (floats ? "-HDRI" : "");
}

// The composite is made at the quantum's depth, and the screen shows 8 bits
// a channel: rounded to what it shows, so that the quantizer never sees the
// colours between, and the palette is that of the image flattened and saved
// at 8 bits.
void magick_flatten_over_black(Image* image, ExceptionInfo* exception) {
    constexpr std::size_t screen_depth = 8;
#if ZELVO_MAGICKCORE_7
    if (image->alpha_trait == UndefinedPixelTrait || IsImageOpaque(image, exception) == MagickTrue) return;
    QueryColorCompliance("black", AllCompliance, &image->background_color, exception);
    // Composites over the background colour; the channel it leaves, if any, goes too.
    SetImageAlphaChannel(image, RemoveAlphaChannel, exception);
    SetImageAlphaChannel(image, OffAlphaChannel, exception);
    SetImageDepth(image, screen_depth, exception);
#else
    if (image->matte == MagickFalse || IsOpaqueImage(image, exception) == MagickTrue) return;
    QueryColorCompliance("black", AllCompliance, &image->background_color, exception);
    SetImageAlphaChannel(image, RemoveAlphaChannel);
    SetImageAlphaChannel(image, DeactivateAlphaChannel);
    SetImageDepth(image, screen_depth);
    InheritException(exception, &image->exception);
#endif /* MagickCore 7 */
}

bool magick_set_image_path(ImageInfo* info, const char* path) {
    if (path[0] == '/') return magick_set_filename(info, path);
    return magick_set_filename(info, (std::string("./") + path).c_str());
}

bool magick_set_filename(ImageInfo* info, const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= magick_filename_size) return false;
    std::memcpy(info->filename, path, length + 1);
    return true;
}

}  // namespace zelvo

namespace zelvo {

namespace {

struct MagickMemoryDelete {
    void operator()(void* memory) const noexcept { RelinquishMagickMemory(memory); }
};

#if ZELVO_MAGICKCORE_7
using HistogramEntry = PixelInfo;
#else
using HistogramEntry = ColorPacket;
#endif /* MagickCore 7 */

}  // namespace

std::vector<std::string> magick_histogram_tuples(const Image* image, ExceptionInfo* exception) {
    std::size_t count = 0;
    std::unique_ptr<HistogramEntry, MagickMemoryDelete> histogram(GetImageHistogram(image, &count, exception));
    std::vector<std::string> tuples;
    if (!histogram) return tuples;
    tuples.reserve(count);

#if ZELVO_MAGICKCORE_7
    PixelInfo pixel;
    GetPixelInfo(image, &pixel);
#else
    MagickPixelPacket pixel;
    GetMagickPixelPacket(image, &pixel);
#endif /* MagickCore 7 */
    // GetColorTuple writes up to a full MagickCore text field.
    std::vector<char> scratch(4096);
    for (std::size_t i = 0; i < count; ++i) {
        const HistogramEntry& entry = histogram.get()[i];
#if ZELVO_MAGICKCORE_7
        pixel = entry;
#else
        pixel.red = entry.pixel.red;
        pixel.green = entry.pixel.green;
        pixel.blue = entry.pixel.blue;
        pixel.opacity = entry.pixel.opacity;
        pixel.index = entry.index;
#endif /* MagickCore 7 */
        // Deeper images would give four hex digits a channel, which the cut
        // to seven characters would turn into mixed-up colours.
        if (pixel.depth > 8) pixel.depth = 8;
        scratch[0] = '\0';
        GetColorTuple(&pixel, MagickTrue, scratch.data());
        tuples.emplace_back(scratch.data());
    }
    return tuples;
}

// MagickCore counts a colour from its pixels alone, each new one checked
// against those met before it in the same place of its colour tree. When
// every pixel of an entry holds the same bits, the first of each entry, in
// the order the pixels first use them, meets the same colours in the same
// order: the same tree, the same unique-colours image.
std::optional<ImagePtr> magick_mapped_unique_colours(const Image* image, ExceptionInfo* exception) {
    if (image->storage_class != PseudoClass || image->colors == 0) return std::nullopt;
    const std::size_t colours = image->colors;
    const std::size_t columns = image->columns;
    std::vector<std::size_t> order;  // the entries in the order the pixels first use them
    std::vector<bool> used(colours, false);
#if ZELVO_MAGICKCORE_7
    if (GetPixelIndexTraits(image) == UndefinedPixelTrait) return std::nullopt;
    const std::size_t channels = GetPixelChannels(image);
    std::vector<Quantum> first(colours * channels);
    for (std::size_t y = 0; y < image->rows; ++y) {
        const Quantum* pixel = GetVirtualPixels(image, 0, static_cast<ssize_t>(y), columns, 1, exception);
        if (pixel == nullptr) return std::nullopt;
        for (std::size_t x = 0; x < columns; ++x, pixel += channels) {
            const Quantum index = GetPixelIndex(image, pixel);
            if (!(index >= 0 && index < static_cast<Quantum>(colours))) return std::nullopt;
            const std::size_t entry = static_cast<std::size_t>(index);
            Quantum* kept = first.data() + entry * channels;
            if (!used[entry]) {
                used[entry] = true;
                order.push_back(entry);
                std::copy(pixel, pixel + channels, kept);
            } else if (std::memcmp(pixel, kept, channels * sizeof(Quantum)) != 0) {
                return std::nullopt;
            }
        }
    }
    ImagePtr firsts(CloneImage(image, order.size(), 1, MagickTrue, exception));
    if (!firsts) return ImagePtr();
    Quantum* row = QueueAuthenticPixels(firsts.get(), 0, 0, order.size(), 1, exception);
    if (row == nullptr || GetPixelChannels(firsts.get()) != channels) return ImagePtr();
    for (std::size_t at = 0; at < order.size(); ++at)
        std::copy_n(first.data() + order[at] * channels, channels, row + at * channels);
#else
    // The index queue of a CMYK image holds black, not the entry.
    if (image->colorspace == CMYKColorspace) return std::nullopt;
    std::vector<PixelPacket> first(colours);
    for (std::size_t y = 0; y < image->rows; ++y) {
        const PixelPacket* pixel = GetVirtualPixels(image, 0, static_cast<ssize_t>(y), columns, 1, exception);
        const IndexPacket* indexes = GetVirtualIndexQueue(image);
        if (pixel == nullptr || indexes == nullptr) return std::nullopt;
        for (std::size_t x = 0; x < columns; ++x) {
            const std::size_t entry = static_cast<std::size_t>(indexes[x]);
            if (entry >= colours) return std::nullopt;
            if (!used[entry]) {
                used[entry] = true;
                order.push_back(entry);
                first[entry] = pixel[x];
            } else if (std::memcmp(&pixel[x], &first[entry], sizeof(PixelPacket)) != 0) {
                return std::nullopt;
            }
        }
    }
    ImagePtr firsts(CloneImage(image, order.size(), 1, MagickTrue, exception));
    if (!firsts) return ImagePtr();
    PixelPacket* row = QueueAuthenticPixels(firsts.get(), 0, 0, order.size(), 1, exception);
    IndexPacket* indexes = GetAuthenticIndexQueue(firsts.get());
    if (row == nullptr || indexes == nullptr) return ImagePtr();
    for (std::size_t at = 0; at < order.size(); ++at) {
        row[at] = first[order[at]];
        indexes[at] = static_cast<IndexPacket>(order[at]);
    }
#endif /* MagickCore 7 */
    if (SyncAuthenticPixels(firsts.get(), exception) != MagickTrue) return ImagePtr();
    return magick_unique_colours(firsts.get(), exception);
}

bool magick_has_fewer_colours(const Image* image, std::size_t limit, ExceptionInfo* exception) {
    const std::size_t columns = image->columns;
#if ZELVO_MAGICKCORE_7
    // Every channel of a pixel, compared raw: never fewer distinct values
    // than MagickCore itself would count.
    const std::size_t channels = GetPixelChannels(image);
    std::vector<Quantum> seen;
    seen.reserve(limit * channels);
    std::size_t last = 0;
    for (std::size_t y = 0; y < image->rows; ++y) {
        const Quantum* row = GetVirtualPixels(image, 0, static_cast<ssize_t>(y), columns, 1, exception);
        if (row == nullptr) return false;
        for (std::size_t x = 0; x < columns; ++x) {
            const Quantum* pixel = row + x * channels;
            auto same = [&](std::size_t index) {
                return std::equal(pixel, pixel + channels, seen.begin() + static_cast<std::ptrdiff_t>(index * channels));
            };
            if (!seen.empty() && same(last)) continue;
            std::size_t found = 0;
            const std::size_t known = seen.size() / channels;
            while (found < known && !same(found)) ++found;
            if (found == known) {
                if (known + 1 >= limit) return false;
                seen.insert(seen.end(), pixel, pixel + channels);
            }
            last = found;
        }
    }
    return true;
#else
    struct Value {
        PixelPacket pixel;
        IndexPacket index;
        bool operator==(const Value& other) const {
            return pixel.red == other.pixel.red && pixel.green == other.pixel.green &&
                   pixel.blue == other.pixel.blue && pixel.opacity == other.pixel.opacity &&
                   index == other.index;
        }
    };
    std::vector<Value> seen;
    seen.reserve(limit);
    std::size_t last = 0;
    for (std::size_t y = 0; y < image->rows; ++y) {
        const PixelPacket* row = GetVirtualPixels(image, 0, static_cast<ssize_t>(y), columns, 1, exception);
        if (row == nullptr) return false;
        // Only CMYK images keep a fourth colour channel in the index queue.
        const IndexPacket* indexes =
            image->colorspace == CMYKColorspace ? GetVirtualIndexQueue(image) : nullptr;
        for (std::size_t x = 0; x < columns; ++x) {
            const Value value{row[x], indexes != nullptr ? indexes[x] : IndexPacket{}};
            if (!seen.empty() && seen[last] == value) continue;
            std::size_t found = 0;
            while (found < seen.size() && !(seen[found] == value)) ++found;
            if (found == seen.size()) {
                if (seen.size() + 1 >= limit) return false;
                seen.push_back(value);
            }
            last = found;
        }
    }
    return true;
#endif /* MagickCore 7 */
}

}  // namespace zelvo
