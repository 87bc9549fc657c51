#include "support/magick.h"

namespace zelvo {

void magick_limit_child(const char* temporary_directory) {
    constexpr MagickSizeType mebi = MagickSizeType{1} << 20;
    // Half the memory that start-up allows, so that the pixels of a large
    // image go to a disk cache; and a disk cache as large as start-up allows
    // is mapped, not read a pixel at a time: halving a 16000 x 4320 image
    // from an unmapped one takes 8 to 13 seconds, from a mapped one 2.
    SetMagickResourceLimit(MemoryResource, 32 * mebi * magick_pixel_bytes);
    SetMagickResourceLimit(MapResource, 128 * mebi * magick_pixel_bytes);
    if (temporary_directory != nullptr) {
        ExceptionPtr exception = magick_exception();
        SetImageRegistry(StringRegistryType, "temporary-path", temporary_directory, exception.get());
    }
}

}  // namespace zelvo
