#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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

}  // namespace zelvo
