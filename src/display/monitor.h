#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// One monitor as the display server tells of it (an X monitor, a Wayland
// output): its name (empty when the display names none), the part of the
// desktop it shows, and the whole factor its pixels are to a desktop unit
// (a Wayland output's scale; 1 on X). Two monitors differing only in scale
// differ: a picture for one is not sharp on the other.
struct Monitor {
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t scale = 1;

    bool operator==(const Monitor&) const = default;
};

struct PixelSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const PixelSize&) const = default;
};

// The size in pixels of a picture that covers the monitor sharply: its size
// in desktop units times its scale.
inline PixelSize monitor_pixel_size(const Monitor& monitor) {
    return PixelSize{monitor.width * monitor.scale, monitor.height * monitor.scale};
}

// No display drives more monitors than this; a longer list from the server
// is cut here, so that what it sends never grows the daemon.
inline constexpr std::size_t most_display_monitors = 64;

// For each monitor of `now`, the one of `before` that it is: the one of the
// same name, or, for a monitor without a name, the unnamed one in the same
// place of the list; none for a monitor new to the display.
std::vector<std::optional<std::size_t>> monitors_matched(const std::vector<Monitor>& before,
                                                         const std::vector<Monitor>& now);

}  // namespace zelvo
