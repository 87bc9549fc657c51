#include "support/magick.h"

#include <cstring>

namespace zelvo {

bool magick_set_filename(ImageInfo* info, const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= magick_filename_size) return false;
    std::memcpy(info->filename, path, length + 1);
    return true;
}

}  // namespace zelvo
