#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo {

// One monitor as the display server tells of it (an X monitor, a Wayland
// output): its name (empty when the display names none) and the part of the
// desktop it shows.
struct Monitor {
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const Monitor&) const = default;
};

// No display drives more monitors than this; a longer list from the server
// is cut here, so that what it sends never grows the daemon.
inline constexpr std::size_t most_display_monitors = 64;

}  // namespace zelvo
