#pragma once

#include <chrono>
#include <cstdint>

namespace zelvo {

// How one picture becomes the next on a monitor, as the configuration's
// transition keys give it (with `viewer = "zelvo"` only): what the frames
// between them show, how long they take and how many there are.
struct Transition {
    enum class Kind {
        none,  // the new picture at once
        fade,  // the new picture through the old one, more of it each frame
        wipe,  // the new picture behind an edge that sweeps across the monitor
        grow,  // the new picture in a circle that grows from a point
    };
    Kind kind = Kind::none;
    std::chrono::milliseconds time{1000};
    // Frames a second asked for; never more than the output's refresh.
    std::uint32_t fps = 30;
    // wipe: the direction the edge moves in, in degrees: 0 from left to
    // right, 90 from top to bottom.
    double angle = 0;
    // grow: where the circle grows from, as fractions of the monitor's width
    // and height from its top-left corner.
    double x = 0.5;
    double y = 0.5;
    // The easing: a cubic Bézier from (0, 0) to (1, 1) through these two
    // control points, as CSS's cubic-bezier() takes them.
    double ease_x1 = 0.54;
    double ease_y1 = 0.0;
    double ease_x2 = 0.34;
    double ease_y2 = 0.99;
};

}  // namespace zelvo
