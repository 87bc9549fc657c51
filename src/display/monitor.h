#pragma once

#include <cstdint>
#include <string>

namespace zelvo {

// One monitor as the display server tells of it (an X monitor, a Wayland
// output): its name and its place and size on the desktop.
struct Monitor {
    std::string name;
    std::int32_t x, y;
    std::uint32_t width, height;

    friend bool operator==(const Monitor&, const Monitor&) = default;
};

}  // namespace zelvo
