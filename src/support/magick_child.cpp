#include "support/magick.h"

namespace zelvo {

void magick_limit_child(const char* temporary_directory) {
    constexpr MagickSizeType mebi = MagickSizeType{1} << 20;
    SetMagickResourceLimit(ThreadResource, 1);
    // Below the ceilings that start-up sets, so that the pixels of the largest
    // image they let through go to the disk cache and the process stays
    // within its address-space limit.
    SetMagickResourceLimit(MemoryResource, 256 * mebi);
    SetMagickResourceLimit(MapResource, 256 * mebi);
    if (temporary_directory != nullptr) {
        ExceptionPtr exception = magick_exception();
        SetImageRegistry(StringRegistryType, "temporary-path", temporary_directory, exception.get());
    }
}

}  // namespace zelvo
