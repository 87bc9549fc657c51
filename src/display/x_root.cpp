#include "display/x_root.h"

#include <algorithm>

namespace zelvo {

std::vector<PutChunk> put_image_chunks(std::uint32_t width, std::uint32_t height, std::size_t request_bytes) {
    std::vector<PutChunk> chunks;
    if (width == 0 || height == 0 || request_bytes < put_image_header_bytes + 4) return chunks;
    const std::size_t pixels = (request_bytes - put_image_header_bytes) / 4;
    if (pixels >= width) {
        const std::uint32_t rows = static_cast<std::uint32_t>(std::min<std::size_t>(pixels / width, height));
        for (std::uint32_t y = 0; y < height; y += rows) chunks.push_back({0, y, width, std::min(rows, height - y)});
        return chunks;
    }
    const std::uint32_t columns = static_cast<std::uint32_t>(pixels);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; x += columns) chunks.push_back({x, y, std::min(columns, width - x), 1});
    return chunks;
}

bool root_pixmap_freeable(std::optional<std::uint32_t> root_pixmap, std::optional<std::uint32_t> esetroot_pixmap) {
    return root_pixmap && esetroot_pixmap && *root_pixmap != 0 && *root_pixmap == *esetroot_pixmap;
}

}  // namespace zelvo
