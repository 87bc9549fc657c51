#include "support/magick.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "support/log.h"
#include "support/magick_pixels.h"

namespace zelvo {

// The histogram's entries are of each version's own type; what holds them is not.
MagickHistogram::MagickHistogram(const Image* image, ExceptionInfo* exception) : image_(image) {
    std::size_t count = 0;
    entries_ = GetImageHistogram(image, &count, exception);
    if (entries_ != nullptr) count_ = count;
}

MagickHistogram::~MagickHistogram() {
    if (entries_ != nullptr) RelinquishMagickMemory(entries_);
}

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

std::vector<std::string> magick_histogram_tuples(const Image* image, ExceptionInfo* exception) {
    const MagickHistogram histogram(image, exception);
    std::vector<std::string> tuples;
    tuples.reserve(histogram.size());
    for (std::size_t index = 0; index < histogram.size(); ++index) tuples.push_back(histogram.tuple(index));
    return tuples;
}

// MagickCore counts a colour from its pixels alone, each new one checked
// against those met before it in the same place of its colour tree. When
// every pixel of an entry holds the same bits, the first of each entry, in
// the order the pixels first use them, meets the same colours in the same
// order: the same tree, the same unique-colours image.
std::optional<ImagePtr> magick_mapped_unique_colours(const Image* image, ExceptionInfo* exception) {
    if (image->storage_class != PseudoClass || image->colors == 0 || !magick_entries_readable(image))
        return std::nullopt;
    const std::size_t colours = image->colors;
    MagickPixelRows rows(image);
    const std::size_t bytes = rows.value_bytes();
    std::vector<std::size_t> order;  // the entries in the order the pixels first use them
    std::vector<bool> used(colours, false);
    std::vector<unsigned char> first(colours * bytes);
    for (std::size_t y = 0; y < image->rows; ++y) {
        if (!rows.read(y, exception)) return std::nullopt;
        for (std::size_t x = 0; x < image->columns; ++x) {
            const std::optional<std::size_t> entry = rows.entry(x);
            if (!entry || *entry >= colours) return std::nullopt;
            unsigned char* kept = first.data() + *entry * bytes;
            if (!used[*entry]) {
                used[*entry] = true;
                order.push_back(*entry);
                std::memcpy(kept, rows.value(x), bytes);
            } else if (std::memcmp(rows.value(x), kept, bytes) != 0) {
                return std::nullopt;
            }
        }
    }
    std::vector<const unsigned char*> values;
    for (const std::size_t entry : order) values.push_back(first.data() + entry * bytes);
    const ImagePtr firsts = magick_row_of_values(image, values, order, exception);
    if (!firsts) return ImagePtr();
    return magick_unique_colours(firsts.get(), exception);
}

// Every channel of a pixel, as MagickCore keeps it: never fewer distinct
// values than MagickCore itself would count.
bool magick_has_fewer_colours(const Image* image, std::size_t limit, ExceptionInfo* exception) {
    MagickPixelRows rows(image);
    const std::size_t bytes = rows.value_bytes();
    std::vector<unsigned char> seen;
    seen.reserve(limit * bytes);
    std::size_t last = 0;
    for (std::size_t y = 0; y < image->rows; ++y) {
        if (!rows.read(y, exception)) return false;
        for (std::size_t x = 0; x < image->columns; ++x) {
            const unsigned char* value = rows.value(x);
            const auto same = [&](std::size_t index) { return rows.same(value, seen.data() + index * bytes); };
            if (!seen.empty() && same(last)) continue;
            std::size_t found = 0;
            const std::size_t known = seen.size() / bytes;
            while (found < known && !same(found)) ++found;
            if (found == known) {
                if (known + 1 >= limit) return false;
                seen.insert(seen.end(), value, value + bytes);
            }
            last = found;
        }
    }
    return true;
}

}  // namespace zelvo
