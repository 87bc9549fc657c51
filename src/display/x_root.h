#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "display/monitor.h"
#include "display/transition.h"

namespace zelvo {

// The rules of the root window's picture that need no server: how pixels
// are cut into requests, and whose pixmap may be freed.

// A part of a picture sent in one PutImage request.
struct PutChunk {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const PutChunk&) const = default;
};

// The bytes of a PutImage request before its pixels.
inline constexpr std::size_t put_image_header_bytes = 24;

// Cuts a picture of 32-bit pixels into parts whose PutImage requests each
// take at most `request_bytes`: whole rows where one fits, else parts of
// rows. Row after row, left to right; together they cover the picture once.
// Empty when not one pixel fits in a request.
std::vector<PutChunk> put_image_chunks(std::uint32_t width, std::uint32_t height, std::size_t request_bytes);

// Whether the pixmap that the root window's properties name may be freed,
// by KillClient as the convention does: only when both properties,
// _XROOTPMAP_ID and ESETROOT_PMAP_ID, name the same pixmap, which its
// setter left for the next one to free. A pixmap that only one of them
// names may still be another program's.
bool root_pixmap_freeable(std::optional<std::uint32_t> root_pixmap, std::optional<std::uint32_t> esetroot_pixmap);

// A trapezoid as RENDER draws one: the rows from top to bottom between two
// lines, each given by two points.
struct Trapezoid {
    double top = 0;
    double bottom = 0;
    ShapePoint left_from, left_to;
    ShapePoint right_from, right_to;

    bool operator==(const Trapezoid&) const = default;
};

// A convex polygon as trapezoids that cover it once, top to bottom: one for
// each band between the heights of two corners. None for an empty polygon
// or one without height.
std::vector<Trapezoid> shape_trapezoids(const Shape& shape);

// The refresh of a RandR mode in Hz: its dot clock over its total pixels,
// twice that interlaced, half of it scanned double; none when the mode
// gives no timings (as a virtual server's does).
std::optional<double> mode_refresh(std::uint32_t dot_clock, std::uint16_t htotal, std::uint16_t vtotal,
                                   std::uint32_t mode_flags);

// A CRTC as RandR tells of it: the part of the screen it scans out and its mode's refresh.
struct CrtcRefresh {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<double> refresh;
};

// The refresh that a monitor shows frames at: the lowest of the CRTCs that
// scan out any of it and give one, rounded to a whole Hz (at least 1); 60
// when none does.
std::uint32_t monitor_refresh(const Monitor& monitor, const std::vector<CrtcRefresh>& crtcs);

}  // namespace zelvo
