#include "display/transition.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zelvo {

namespace {

// One coordinate of a cubic Bézier from 0 to 1 through the control values a and b.
double bezier(double a, double b, double t) {
    const double u = 1 - t;
    return 3 * u * u * t * a + 3 * u * t * t * b + t * t * t;
}

// A circle of radius r about (cx, cy) as a polygon whose sides stray from it
// by under a quarter of a pixel: a side of angle θ strays by r(1 - cos θ/2).
Shape circle(double cx, double cy, double r) {
    if (r <= 0) return {};
    const double step = r > 0.25 ? 2 * std::acos(1 - 0.25 / r) : std::numbers::pi / 4;
    const int sides = std::clamp(static_cast<int>(std::ceil(2 * std::numbers::pi / step)), 8, 720);
    Shape shape;
    shape.reserve(static_cast<std::size_t>(sides));
    for (int side = 0; side < sides; ++side) {
        const double angle = 2 * std::numbers::pi * side / sides;
        shape.push_back({cx + r * std::cos(angle), cy + r * std::sin(angle)});
    }
    return shape;
}

Shape rectangle(double width, double height) { return {{0, 0}, {width, 0}, {width, height}, {0, height}}; }

}  // namespace

bool transition_runs(const Transition& transition) {
    return transition.kind != Transition::Kind::none && transition.time.count() > 0 && transition.fps > 0;
}

std::uint32_t transition_frames(const Transition& transition) {
    if (!transition_runs(transition)) return 1;
    const std::uint64_t scaled = static_cast<std::uint64_t>(transition.time.count()) * transition.fps;
    return static_cast<std::uint32_t>(std::max<std::uint64_t>((scaled + 999) / 1000, 1));
}

double transition_eased(const Transition& transition, double share) {
    if (!(share > 0)) return 0;
    if (share >= 1) return 1;
    // x rises with t whenever both control values of x lie within 0 and 1, as
    // the keys keep them: halving finds the t of the share.
    double low = 0, high = 1;
    for (int step = 0; step < 48; ++step) {
        const double middle = (low + high) / 2;
        (bezier(transition.ease_x1, transition.ease_x2, middle) < share ? low : high) = middle;
    }
    return std::clamp(bezier(transition.ease_y1, transition.ease_y2, (low + high) / 2), 0.0, 1.0);
}

double transition_progress(const Transition& transition, std::chrono::nanoseconds elapsed) {
    const std::chrono::nanoseconds time = transition.time;
    if (elapsed >= time) return 1;
    return transition_eased(transition, std::chrono::duration<double>(elapsed) / std::chrono::duration<double>(time));
}

Shape shape_cut(const Shape& shape, ShapePoint along, double limit) {
    Shape cut;
    const auto side = [&](const ShapePoint& point) { return along.x * point.x + along.y * point.y - limit; };
    for (std::size_t index = 0; index < shape.size(); ++index) {
        const ShapePoint& from = shape[index];
        const ShapePoint& to = shape[(index + 1) % shape.size()];
        const double a = side(from), b = side(to);
        if (a <= 0) cut.push_back(from);
        // The side crosses the line: the point where it does.
        if ((a < 0 && b > 0) || (a > 0 && b < 0)) {
            const double t = a / (a - b);
            cut.push_back({from.x + t * (to.x - from.x), from.y + t * (to.y - from.y)});
        }
    }
    return cut.size() >= 3 ? cut : Shape{};
}

WipeEdge wipe_edge(double angle, double width, double height, double progress) {
    const double radians = angle * std::numbers::pi / 180;
    const ShapePoint along{std::cos(radians), std::sin(radians)};
    double first = 0, last = 0;
    for (const ShapePoint& corner : rectangle(width, height)) {
        const double reach = along.x * corner.x + along.y * corner.y;
        first = std::min(first, reach);
        last = std::max(last, reach);
    }
    return WipeEdge{along, first + progress * (last - first)};
}

double grow_radius(double width, double height, double x, double y, double progress) {
    const double cx = x * width, cy = y * height;
    double farthest = 0;
    for (const ShapePoint& corner : rectangle(width, height))
        farthest = std::max(farthest, std::hypot(corner.x - cx, corner.y - cy));
    return progress * farthest;
}

Shape transition_shape(const Transition& transition, double width, double height, double progress) {
    if (progress <= 0 || width <= 0 || height <= 0) return {};
    if (transition.kind == Transition::Kind::wipe) {
        const WipeEdge edge = wipe_edge(transition.angle, width, height, progress);
        return shape_cut(rectangle(width, height), edge.along, edge.offset);
    }
    if (transition.kind != Transition::Kind::grow) return {};
    Shape shape = circle(transition.x * width, transition.y * height,
                         grow_radius(width, height, transition.x, transition.y, progress));
    shape = shape_cut(shape, {-1, 0}, 0);
    shape = shape_cut(shape, {1, 0}, width);
    shape = shape_cut(shape, {0, -1}, 0);
    return shape_cut(shape, {0, 1}, height);
}

}  // namespace zelvo
