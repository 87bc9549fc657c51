#include "colour/palette.h"

#include <mutex>
#include <thread>

#include "support/magick.h"
#include "support/regular_file.h"

namespace zelvo {

namespace {

constexpr int palette_size = 16;
constexpr int largest_request = 38;

// The image read and halved twice, with the info it was read through.
struct QuarterImage {
    ImageInfoPtr info;
    ImagePtr image;
};

std::optional<QuarterImage> read_quarter(const std::string& path, ExceptionInfo* exception) {
    QuarterImage quarter{magick_image_info(), nullptr};
    // A path that does not fit MagickCore's file-name field is never cut to fit.
    if (!magick_set_image_path(quarter.info.get(), path.c_str())) return std::nullopt;
    // A FIFO or a device put in the image's place since it was found would
    // hold the read until the deadline, or for good; a compressed file is no
    // wallpaper.
    if (!is_plain_file(path.c_str())) return std::nullopt;
    // Only the first frame is halved and quantized, so a file of many frames
    // is read no further.
    magick_first_frame_only(quarter.info.get());

    ImagePtr read = magick_read(quarter.info.get(), exception);
    magick_report(exception);
    if (!read) return std::nullopt;
    magick_sync_settings(quarter.info.get(), read.get(), exception);
    // feh draws an image's transparent parts over black: the palette is that
    // of what it shows. An opaque image is left exactly as it was read.
    magick_flatten_over_black(read.get(), exception);
    magick_report(exception);

    ImagePtr half = magick_minify(read.get(), exception);
    read.reset();
    if (half) magick_sync_settings(quarter.info.get(), half.get(), exception);
    magick_report(exception);
    if (!half) return std::nullopt;

    quarter.image = magick_minify(half.get(), exception);
    half.reset();
    if (quarter.image) magick_sync_settings(quarter.info.get(), quarter.image.get(), exception);
    magick_report(exception);
    if (!quarter.image) return std::nullopt;
    return quarter;
}

// How an attempt finds the distinct colours of the quantized image.
enum class UniqueColours { from_every_pixel, from_colour_map };

// Quantizes the image in place to the requested count and gives its distinct colours.
std::optional<HexTuples> quantize_attempt(const ImageInfo* info, Image* image, int requested, UniqueColours way,
                                          ExceptionInfo* exception) {
    QuantizeInfoPtr quantize = magick_quantize_info(info, static_cast<std::size_t>(requested));
    magick_quantize(quantize.get(), image, exception);
    magick_sync_settings(info, image, exception);
    magick_report(exception);

    std::optional<ImagePtr> mapped;
    if (way == UniqueColours::from_colour_map) mapped = magick_mapped_unique_colours(image, exception);
    ImagePtr unique = mapped ? std::move(*mapped) : magick_unique_colours(image, exception);
    magick_report(exception);
    if (!unique) return std::nullopt;
    return magick_histogram_tuples(unique.get(), exception);
}

}  // namespace

std::optional<HexTuples> extract_palette(const std::string& path, int requested) {
    ExceptionPtr exception = magick_exception();
    std::optional<QuarterImage> quarter = read_quarter(path, exception.get());
    if (!quarter) return std::nullopt;
    return quantize_attempt(quarter->info.get(), quarter->image.get(), requested, UniqueColours::from_every_pixel,
                            exception.get());
}

namespace {

// One attempt of the search on a fresh copy of the quarter image; nothing
// unless it gives exactly sixteen. The copy shares the quarter image's pixels
// until the quantizer writes its own, so copies are taken one at a time.
std::optional<HexTuples> search_attempt(const QuarterImage& quarter, int requested, std::mutex& copying,
                                        ExceptionInfo* exception) {
    ImagePtr copy;
    {
        const std::lock_guard guard(copying);
        copy = magick_clone(quarter.image.get(), exception);
    }
    magick_report(exception);
    if (!copy) return std::nullopt;
    std::optional<HexTuples> tuples =
        quantize_attempt(quarter.info.get(), copy.get(), requested, UniqueColours::from_colour_map, exception);
    if (tuples && tuples->size() == palette_size) return tuples;
    return std::nullopt;
}

// The attempts from `first` up on `workers` threads of MagickCore's one
// thread each, every thread taking the next count. A count below one that
// gave sixteen has always been taken, so the lowest count that gives sixteen
// wins, as one attempt after another would find.
std::optional<HexTuples> search_side_by_side(const QuarterImage& quarter, int first, unsigned long workers) {
    const MagickThreadLimit one_each(1);
    std::mutex lock;
    std::mutex copying;
    int next = first;
    int best = largest_request + 1;
    std::optional<HexTuples> found;
    auto work = [&] {
        ExceptionPtr exception = magick_exception();
        for (;;) {
            int requested = 0;
            {
                const std::lock_guard guard(lock);
                if (next >= best) return;
                requested = next++;
            }
            std::optional<HexTuples> tuples = search_attempt(quarter, requested, copying, exception.get());
            const std::lock_guard guard(lock);
            if (tuples && requested < best) {
                best = requested;
                found = std::move(tuples);
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned long helper = 1; helper < workers; ++helper) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    return found;
}

}  // namespace

// Gives what the attempts of extract_palette with 16, 17, ... 38 would give,
// but reads and halves the image only once: each attempt quantizes a fresh
// copy of the same quarter image. Quantizing never adds distinct colours, so
// a quarter image with fewer than sixteen can never give sixteen. Most images
// need only the first attempt, which gets every thread MagickCore may use;
// the attempts after it are independent of each other, and take a thread each.
PaletteFinding find_palette_finding(const std::string& path) {
    MagickScratch scratch;
    ExceptionPtr exception = magick_exception();
    std::optional<QuarterImage> quarter = read_quarter(path, exception.get());
    if (!quarter) return PaletteFinding{};
    if (magick_has_fewer_colours(quarter->image.get(), palette_size, exception.get()))
        return PaletteFinding{std::nullopt, true};

    // From here on every attempt asks for the same blocks as the one before.
    scratch.keep_freed_blocks();
    std::mutex copying;
    if (std::optional<HexTuples> tuples = search_attempt(*quarter, palette_size, copying, exception.get()))
        return PaletteFinding{std::move(tuples), true};
    return PaletteFinding{search_side_by_side(*quarter, palette_size + 1, magick_thread_limit()), true};
}

std::optional<HexTuples> find_palette(const std::string& path) { return find_palette_finding(path).tuples; }

}  // namespace zelvo
