#pragma once

// The one place that knows which MagickCore it is built against. Everything
// else in zelvo calls the functions below and never MagickCore directly, so
// the same sources build against MagickCore 6 (packaged on Debian) and
// MagickCore 7 (the home platform's port).

#include <memory>

#if __has_include(<MagickCore/MagickCore.h>)
#include <MagickCore/MagickCore.h>
#else
#include <magick/MagickCore.h>
#endif /* MagickCore 7 header */

namespace zelvo {

struct ImageDelete {
    void operator()(Image* image) const noexcept { DestroyImage(image); }
};
struct ImageInfoDelete {
    void operator()(ImageInfo* info) const noexcept { DestroyImageInfo(info); }
};
struct ExceptionDelete {
    void operator()(ExceptionInfo* exception) const noexcept { DestroyExceptionInfo(exception); }
};
using ImagePtr = std::unique_ptr<Image, ImageDelete>;
using ImageInfoPtr = std::unique_ptr<ImageInfo, ImageInfoDelete>;
using ExceptionPtr = std::unique_ptr<ExceptionInfo, ExceptionDelete>;

// Starts MagickCore without signal handlers of its own: the event loop owns signals.
inline void magick_start(const char* invocation) { MagickCoreGenesis(invocation, MagickFalse); }

inline void magick_stop() { MagickCoreTerminus(); }

inline void magick_limit_threads(unsigned long threads) {
    SetMagickResourceLimit(ThreadResource, static_cast<MagickSizeType>(threads));
}

inline ExceptionPtr magick_exception() { return ExceptionPtr(AcquireExceptionInfo()); }

// A fresh image info with the library defaults.
inline ImageInfoPtr magick_image_info() { return ImageInfoPtr(CloneImageInfo(nullptr)); }

// The size of ImageInfo's file-name field, terminator included.
constexpr std::size_t magick_filename_size = sizeof(ImageInfo{}.filename);

// Copies a path into the info's file name; false when it does not fit whole.
bool magick_set_filename(ImageInfo* info, const char* path);

// Hands a pending warning or error to MagickCore's own reporting, which clears it.
inline void magick_report(ExceptionInfo* exception) {
    if (exception->severity != UndefinedException) CatchException(exception);
}

// Identifies an image from its header without reading the pixels.
inline ImagePtr magick_ping(const ImageInfo* info, ExceptionInfo* exception) {
    return ImagePtr(PingImage(info, exception));
}

}  // namespace zelvo
