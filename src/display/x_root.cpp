#include "display/x_root.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

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

std::vector<Trapezoid> shape_trapezoids(const Shape& shape) {
    std::vector<Trapezoid> trapezoids;
    if (shape.size() < 3) return trapezoids;
    std::vector<double> heights;
    for (const ShapePoint& corner : shape) heights.push_back(corner.y);
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    for (std::size_t band = 0; band + 1 < heights.size(); ++band) {
        const double top = heights[band], bottom = heights[band + 1], middle = (top + bottom) / 2;
        // A convex polygon crosses the middle of a band on exactly two sides:
        // the one further left bounds it on the left.
        Trapezoid trapezoid{top, bottom, {}, {}, {}, {}};
        double left = std::numeric_limits<double>::infinity(), right = -left;
        for (std::size_t index = 0; index < shape.size(); ++index) {
            const ShapePoint& from = shape[index];
            const ShapePoint& to = shape[(index + 1) % shape.size()];
            if (std::min(from.y, to.y) > top || std::max(from.y, to.y) < bottom || from.y == to.y) continue;
            const double x = from.x + (middle - from.y) / (to.y - from.y) * (to.x - from.x);
            if (x < left) {
                left = x;
                std::tie(trapezoid.left_from, trapezoid.left_to) = std::pair(from, to);
            }
            if (x > right) {
                right = x;
                std::tie(trapezoid.right_from, trapezoid.right_to) = std::pair(from, to);
            }
        }
        if (left < right) trapezoids.push_back(trapezoid);
    }
    return trapezoids;
}

std::optional<double> mode_refresh(std::uint32_t dot_clock, std::uint16_t htotal, std::uint16_t vtotal,
                                   std::uint32_t mode_flags) {
    // RandR's mode flags: Interlace is 1 << 4, DoubleScan 1 << 5.
    constexpr std::uint32_t interlace = 1u << 4, double_scan = 1u << 5;
    if (dot_clock == 0 || htotal == 0 || vtotal == 0) return std::nullopt;
    double refresh = static_cast<double>(dot_clock) / (static_cast<double>(htotal) * vtotal);
    if (mode_flags & interlace) refresh *= 2;
    if (mode_flags & double_scan) refresh /= 2;
    return refresh;
}

std::uint32_t monitor_refresh(const Monitor& monitor, const std::vector<CrtcRefresh>& crtcs) {
    std::optional<double> lowest;
    for (const CrtcRefresh& crtc : crtcs) {
        const bool across = std::int64_t{crtc.x} < std::int64_t{monitor.x} + monitor.width &&
                            std::int64_t{monitor.x} < std::int64_t{crtc.x} + crtc.width &&
                            std::int64_t{crtc.y} < std::int64_t{monitor.y} + monitor.height &&
                            std::int64_t{monitor.y} < std::int64_t{crtc.y} + crtc.height;
        if (across && crtc.refresh && (!lowest || *crtc.refresh < *lowest)) lowest = crtc.refresh;
    }
    if (!lowest) return 60;
    return static_cast<std::uint32_t>(std::clamp(std::lround(*lowest), 1l, 1000l));
}

}  // namespace zelvo
