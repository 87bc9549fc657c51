#pragma once

// The one place that knows which MagickCore it is built against. Everything
// else in zelvo calls the functions below and never MagickCore directly, so
// the same sources build against MagickCore 6 (packaged on Debian) and
// MagickCore 7 (the home platform's port).

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if __has_include(<MagickCore/MagickCore.h>)
#include <MagickCore/MagickCore.h>
#define ZELVO_MAGICKCORE_7 1
#else
#include <magick/MagickCore.h>
#define ZELVO_MAGICKCORE_7 0
#endif /* MagickCore 7 header */

namespace zelvo {

struct ImageDelete {
    // A read can give a list (the frames of an animation); all of it goes.
    void operator()(Image* image) const noexcept { DestroyImageList(image); }
};
struct ImageInfoDelete {
    void operator()(ImageInfo* info) const noexcept { DestroyImageInfo(info); }
};
struct ExceptionDelete {
    void operator()(ExceptionInfo* exception) const noexcept { DestroyExceptionInfo(exception); }
};
struct QuantizeInfoDelete {
    void operator()(QuantizeInfo* info) const noexcept { DestroyQuantizeInfo(info); }
};
using ImagePtr = std::unique_ptr<Image, ImageDelete>;
using QuantizeInfoPtr = std::unique_ptr<QuantizeInfo, QuantizeInfoDelete>;
using ImageInfoPtr = std::unique_ptr<ImageInfo, ImageInfoDelete>;
using ExceptionPtr = std::unique_ptr<ExceptionInfo, ExceptionDelete>;

// The bytes of one pixel of four channels (red, green, blue and alpha) in
// MagickCore's pixel cache: 8 for 16-bit quanta, 16 where HDRI makes a
// quantum a float. The ceilings on memory are set in pixels and held at this.
constexpr std::size_t magick_pixel_bytes = 4 * sizeof(Quantum);

// Hands MagickCore's large aligned blocks to zelvo's own handlers (see MagickScratch).
void magick_memory_install();

// Sets zelvo's own ceilings on image size, memory and disk, which hold
// whatever policy file MagickCore finds (a policy can only lower them).
void magick_limit_resources();

// The formats that feh shows, as MagickCore names them: the only ones that
// zelvo reads, checked by the security policy below.
inline constexpr const char* magick_wallpaper_formats =
    "JPEG,JPG,JPE,JPS,PJPEG,PNG,PNG00,PNG8,PNG24,PNG32,PNG48,PNG64,GIF,GIF87,WEBP,TIFF,TIF,TIFF64,PTIF,"
    "BMP,BMP2,BMP3,ICO,ICON,ICN,CUR,PBM,PGM,PPM,PNM,XPM,PICON,PM,XBM,JP2,J2C,J2K,JPC,JPM,HEIC,AVIF,"
    "TGA,ICB,VDA,VST,FARBFELD,FF";

// Adds zelvo's own security policy to whatever policy the system ships:
// MagickCore reads no format but those above, starts no program and reads
// no list of names.
void magick_allow_wallpapers_only();

// Starts MagickCore without signal handlers of its own: the event loop owns signals.
inline void magick_start(const char* invocation) {
    magick_memory_install();
    MagickCoreGenesis(invocation, MagickFalse);
    // After the genesis, which sets the limits from the policy and the environment.
    magick_limit_resources();
    magick_allow_wallpapers_only();
}

// While one lives, large blocks that MagickCore frees once keep_freed_blocks
// has been called are kept and handed out again for requests of the same
// size, so that repeated steps on one image do not fault in fresh memory each
// time. Everything kept is freed when it ends. One at a time.
class MagickScratch {
public:
    MagickScratch();
    ~MagickScratch();
    void keep_freed_blocks();
    MagickScratch(const MagickScratch&) = delete;
    MagickScratch& operator=(const MagickScratch&) = delete;
};

inline void magick_stop() { MagickCoreTerminus(); }

// MagickCore's own account of its version and build ("ImageMagick 7.1.2-30 Q16-HDRI ...").
inline const char* magick_version() { return GetMagickVersion(nullptr); }

// What, besides an image's bytes, decides the colours that MagickCore finds
// in it: the major version of the library in use, its quantum depth, and
// whether it keeps quanta as floats ("6-Q16", "7-Q16-HDRI").
std::string magick_build_tag();

inline void magick_limit_threads(unsigned long threads) {
    SetMagickResourceLimit(ThreadResource, static_cast<MagickSizeType>(threads));
}

// How many threads MagickCore may use now, which it caps at the processors it finds.
inline unsigned long magick_thread_limit() {
    return static_cast<unsigned long>(GetMagickResourceLimit(ThreadResource));
}

// While one lives, MagickCore's thread limit is the one given.
class MagickThreadLimit {
public:
    explicit MagickThreadLimit(unsigned long threads) : before_(magick_thread_limit()) { magick_limit_threads(threads); }
    ~MagickThreadLimit() { magick_limit_threads(before_); }
    MagickThreadLimit(const MagickThreadLimit&) = delete;
    MagickThreadLimit& operator=(const MagickThreadLimit&) = delete;

private:
    unsigned long before_;
};

// The limits of a process that reads one image and ends: its temporary files
// in the directory given, which its parent removes.
void magick_limit_child(const char* temporary_directory);

// The largest disk cache of one image's pixels that any read may write.
constexpr std::size_t magick_disk_bytes = (std::size_t{128} << 20) * magick_pixel_bytes;

// The whole address space such a process needs: the libraries, the pixel
// caches up to its memory and map limits, the quantizer's colour caches and
// the images halved from the read one.
constexpr std::size_t magick_child_address_space = (std::size_t{256} << 20) * magick_pixel_bytes;

// Reads only as far as the first frame, which is all that the ring and the
// palette need: a file of a hundred thousand frames costs one. The layers
// that Photoshop keeps in a TIFF are left unread too.
inline void magick_first_frame_only(ImageInfo* info) {
    info->scene = 0;
    info->number_scenes = 1;
    SetImageOption(info, "tiff:ignore-layers", "true");
}

inline ExceptionPtr magick_exception() { return ExceptionPtr(AcquireExceptionInfo()); }

// A fresh image info with the library defaults.
inline ImageInfoPtr magick_image_info() { return ImageInfoPtr(CloneImageInfo(nullptr)); }

// The size of ImageInfo's file-name field, terminator included.
constexpr std::size_t magick_filename_size = sizeof(ImageInfo{}.filename);

// Copies a path into the info's file name; false when it does not fit whole.
bool magick_set_filename(ImageInfo* info, const char* path);

// Like magick_set_filename for the path of a file: a relative path gets "./"
// before it, since MagickCore reads "-" as standard input, "|command" from a
// pipe, "fd:N" from a descriptor and "name:rest" through the coder "name".
bool magick_set_image_path(ImageInfo* info, const char* path);

// Hands a pending warning or error to MagickCore's own reporting, which clears it.
inline void magick_report(ExceptionInfo* exception) {
    if (exception->severity != UndefinedException) CatchException(exception);
}

// Identifies an image from its header without reading the pixels.
inline ImagePtr magick_ping(const ImageInfo* info, ExceptionInfo* exception) {
    return ImagePtr(PingImage(info, exception));
}

inline ImagePtr magick_read(const ImageInfo* info, ExceptionInfo* exception) {
    return ImagePtr(ReadImage(info, exception));
}

// Applies the info's settings to the image.
void magick_sync_settings(const ImageInfo* info, Image* image, ExceptionInfo* exception);

// The bits a channel that a screen shows.
inline constexpr std::size_t magick_screen_depth = 8;

// An image with any pixel that is not opaque becomes what it shows over
// black, opaque and at magick_screen_depth, as a screen shows it: the
// composite, made at the quantum's depth, is rounded, so that the quantizer
// never sees the colours between and the palette is that of the image
// flattened and saved at 8 bits. An opaque one (with an alpha channel or
// none) is left exactly as it is.
void magick_flatten_over_black(Image* image, ExceptionInfo* exception);

// Half the width and half the height.
inline ImagePtr magick_minify(const Image* image, ExceptionInfo* exception) {
    return ImagePtr(MinifyImage(image, exception));
}

// An exact copy, pixels included.
inline ImagePtr magick_clone(const Image* image, ExceptionInfo* exception) {
    return ImagePtr(CloneImage(image, 0, 0, MagickTrue, exception));
}

// Library defaults from the info, asking for the given number of colours.
inline QuantizeInfoPtr magick_quantize_info(const ImageInfo* info, std::size_t colours) {
    QuantizeInfoPtr quantize(AcquireQuantizeInfo(info));
    quantize->number_colors = colours;
    return quantize;
}

// Reduces the image's colours in place.
void magick_quantize(const QuantizeInfo* quantize, Image* image, ExceptionInfo* exception);

// One pixel for each distinct colour of the image.
inline ImagePtr magick_unique_colours(const Image* image, ExceptionInfo* exception) {
    return ImagePtr(UniqueImageColors(image, exception));
}

// What magick_unique_colours gives for a quantized image, taken from one
// pixel of each colour-map entry that the image uses, in the order the
// pixels first use them, instead of from every pixel. Nothing when that
// cannot be known to be the same: an image that is not colour-mapped, or a
// pixel that differs from the first of its entry. A null image when
// MagickCore fails.
std::optional<ImagePtr> magick_mapped_unique_colours(const Image* image, ExceptionInfo* exception);

// The hex tuple of every histogram entry of the image, in histogram order, at
// no more than 8 bits a channel; empty when there is no histogram.
std::vector<std::string> magick_histogram_tuples(const Image* image, ExceptionInfo* exception);

// Whether the image has fewer than `limit` distinct pixel values. Stops
// reading pixels as soon as it has seen `limit` of them; an image whose
// pixels cannot be read counts as having enough.
bool magick_has_fewer_colours(const Image* image, std::size_t limit, ExceptionInfo* exception);

// The part `width` x `height` at (x, y) of the image, as a new image.
inline ImagePtr magick_crop(const Image* image, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                            ExceptionInfo* exception) {
    const RectangleInfo part{width, height, static_cast<ssize_t>(x), static_cast<ssize_t>(y)};
    return ImagePtr(CropImage(image, &part, exception));
}

// The image resized to exactly `width` x `height`, with a triangle (bilinear)
// filter: smooth as feh's anti-aliased scaling, and quick on a 4K photo.
ImagePtr magick_resize(const Image* image, std::size_t width, std::size_t height, ExceptionInfo* exception);

// The image in sRGB, as a display shows it (a CMYK or grey one is converted).
void magick_to_srgb(Image* image, ExceptionInfo* exception);

// Writes the pixels of the part `width` x `height` at (x, y), row after row,
// one byte a channel in the order `map` names them ("BGRP": blue, green, red
// and a padding byte); false when MagickCore cannot.
inline bool magick_export(const Image* image, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                          const char* map, unsigned char* pixels, ExceptionInfo* exception) {
    return ExportImagePixels(image, static_cast<ssize_t>(x), static_cast<ssize_t>(y), width, height, map, CharPixel,
                             pixels, exception) == MagickTrue;
}

// The worst that the read of this image reported: MagickCore 6 keeps what
// a decoder reports on the image itself.
ExceptionType magick_read_severity(const Image* image, const ExceptionInfo* exception);

}  // namespace zelvo
