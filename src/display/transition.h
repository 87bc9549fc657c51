#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

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

// Whether the transition has frames at all: a kind other than none, over a
// time longer than none.
bool transition_runs(const Transition& transition);

// The frames of a transition: its time at its rate, rounded up, at least one;
// the last is the new picture whole.
std::uint32_t transition_frames(const Transition& transition);

// The eased progress for a share of the time (0 to 1): y of the Bézier at the
// point whose x is that share, kept within 0 and 1 (a curve that overshoots
// stops at the pictures themselves).
double transition_eased(const Transition& transition, double share);

// The progress of the frame shown `elapsed` after the transition began: 0
// before, 1 (the new picture whole) once its time is over.
double transition_progress(const Transition& transition, std::chrono::nanoseconds elapsed);

// A point of a shape on a monitor, from its top-left corner.
struct ShapePoint {
    double x = 0;
    double y = 0;

    bool operator==(const ShapePoint&) const = default;
};
// A convex polygon, its corners in order; empty when it covers nothing.
using Shape = std::vector<ShapePoint>;

// The part of a convex polygon where along.x * x + along.y * y <= limit.
Shape shape_cut(const Shape& shape, ShapePoint along, double limit);

// wipe's edge for a progress on a monitor of width by height: the new picture
// shows where along.x * x + along.y * y <= offset. `along` is the direction
// the edge moves in (cos and sin of the angle, y downwards); the edge passes
// the corner first reached at progress 0 and the last at progress 1.
struct WipeEdge {
    ShapePoint along;
    double offset = 0;
};
WipeEdge wipe_edge(double angle, double width, double height, double progress);

// grow's radius for a progress: from none to the distance from the centre
// (fractions x, y of the monitor) to the monitor's farthest corner.
double grow_radius(double width, double height, double x, double y, double progress);

// The part of a monitor of width by height that shows the new picture at a
// progress of a wipe or a grow (its circle as a polygon whose sides stray
// from the circle by under a quarter of a pixel), cut to the monitor.
Shape transition_shape(const Transition& transition, double width, double height, double progress);

}  // namespace zelvo
