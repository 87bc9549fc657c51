#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "display/transition.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;

double area(const Shape& shape) {
    double twice = 0;
    for (std::size_t index = 0; index < shape.size(); ++index) {
        const ShapePoint& from = shape[index];
        const ShapePoint& to = shape[(index + 1) % shape.size()];
        twice += from.x * to.y - to.x * from.y;
    }
    return std::fabs(twice) / 2;
}

Transition with_easing(double x1, double y1, double x2, double y2) {
    Transition transition;
    std::tie(transition.ease_x1, transition.ease_y1, transition.ease_x2, transition.ease_y2) = std::tuple(x1, y1, x2, y2);
    return transition;
}

// The easing as CSS draws its curves, ends included; a curve that overshoots stops at 0 and 1.
TEST(TransitionEased, FollowsTheCubicBezierWithinZeroAndOne) {
    struct Case {
        Transition transition;
        double share, progress;
    };
    const Transition linear = with_easing(0, 0, 1, 1), ease = with_easing(0.25, 0.1, 0.25, 1),
                     overshoot = with_easing(0.3, -1, 0.7, 2);
    const Case cases[] = {
        {linear, 0.37, 0.37},     {linear, -0.5, 0},        {linear, 1.5, 1},        {linear, std::nan(""), 0},
        {ease, 0.5, 0.8024033},   {ease, 0.25, 0.408511},  {Transition{}, 0, 0},    {Transition{}, 1, 1},
        {Transition{}, 0.5, 0.603659}, {overshoot, 0.1, 0},   {overshoot, 0.9, 1},
    };
    for (const Case& row : cases)
        EXPECT_NEAR(transition_eased(row.transition, row.share), row.progress, 1e-4) << row.share;
}

// A frame's progress is the eased share of the time; the frames are the time at the rate, rounded up.
TEST(TransitionProgress, EasedShareOfTheTimeAndFramesRoundedUp) {
    struct Case {
        Transition::Kind kind;
        std::chrono::milliseconds time;
        std::uint32_t fps;
        std::chrono::nanoseconds elapsed;
        double progress;
        std::uint32_t frames;
        bool runs;
    };
    using Kind = Transition::Kind;
    const Case cases[] = {
        {Kind::fade, 1000ms, 30, 250ms, 0.25, 30, true},  {Kind::wipe, 1000ms, 7, 1000ms, 1, 7, true},
        {Kind::grow, 100ms, 30, 99ms, 0.99, 3, true},     {Kind::fade, 60000ms, 240, 30s, 0.5, 14400, true},
        {Kind::fade, 0ms, 30, 0ms, 1, 1, false},          {Kind::none, 1000ms, 30, 500ms, 0.5, 1, false},
        {Kind::fade, 1000ms, 30, -5ms, 0, 30, true},
    };
    for (const Case& row : cases) {
        Transition transition = with_easing(0, 0, 1, 1);
        std::tie(transition.kind, transition.time, transition.fps) = std::tuple(row.kind, row.time, row.fps);
        EXPECT_NEAR(transition_progress(transition, row.elapsed), row.progress, 1e-9) << row.elapsed.count();
        EXPECT_EQ(transition_frames(transition), row.frames) << row.time.count();
        EXPECT_EQ(transition_runs(transition), row.runs);
    }
}

// wipe's edge moves along its angle from the first corner it meets to the
// last; grow's radius reaches the farthest corner; each shape covers what
// they say of the monitor and no more.
TEST(TransitionShape, WipesEdgeAndGrowsRadiusForAProgress) {
    struct Case {
        Transition::Kind kind;
        double angle, x, y, progress;
        ShapePoint along;
        double offset_or_radius, area;
    };
    using Kind = Transition::Kind;
    const double w = 640, h = 360, half_diagonal = std::hypot(320.0, 180.0), root2 = std::sqrt(0.5);
    const Case cases[] = {
        {Kind::wipe, 0, 0, 0, 0.25, {1, 0}, 160, w * h / 4},
        {Kind::wipe, 90, 0, 0, 0.5, {0, 1}, 180, w * h / 2},
        {Kind::wipe, 180, 0, 0, 0.25, {-1, 0}, -480, w * h / 4},
        {Kind::wipe, -90, 0, 0, 1, {0, -1}, 0, w * h},
        // 45 degrees: from the top-left corner to the bottom-right; halfway is the diagonal's middle.
        {Kind::wipe, 45, 0, 0, 0.5, {root2, root2}, (w + h) * root2 / 2, w * h / 2},
        {Kind::grow, 0, 0.5, 0.5, 0.4, {}, half_diagonal * 0.4, std::numbers::pi * std::pow(half_diagonal * 0.4, 2)},
        // From the top-left corner: a quarter of a circle.
        {Kind::grow, 0, 0, 0, 0.1, {}, 0.1 * std::hypot(w, h), std::numbers::pi * std::pow(0.1 * std::hypot(w, h), 2) / 4},
        {Kind::grow, 0, 0.25, 0.75, 1, {}, std::hypot(480.0, 270.0), w * h},
        {Kind::grow, 0, 0.5, 0.5, 0, {}, 0, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.kind) << " " << row.angle << " " << row.progress);
        Transition transition;
        std::tie(transition.kind, transition.angle, transition.x, transition.y) = std::tuple(row.kind, row.angle, row.x, row.y);
        const Shape shape = transition_shape(transition, w, h, row.progress);
        if (row.kind == Kind::wipe) {
            const WipeEdge edge = wipe_edge(row.angle, w, h, row.progress);
            EXPECT_NEAR(std::hypot(edge.along.x - row.along.x, edge.along.y - row.along.y), 0, 1e-9);
            EXPECT_NEAR(edge.offset, row.offset_or_radius, 1e-9);
            // Every corner of the shape lies behind the edge.
            for (const ShapePoint& point : shape) EXPECT_LE(edge.along.x * point.x + edge.along.y * point.y, edge.offset + 1e-9);
        } else {
            EXPECT_NEAR(grow_radius(w, h, row.x, row.y, row.progress), row.offset_or_radius, 1e-9);
        }
        // The circle's polygon strays from it by under a quarter of a pixel all round.
        EXPECT_NEAR(area(shape), row.area, row.kind == Kind::grow ? 0.5 * std::numbers::pi * row.offset_or_radius + 1e-6 : 1e-6);
    }
    // A cut keeps only what lies on its side; nothing when none does.
    const Shape square = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    EXPECT_NEAR(area(shape_cut(square, {1, 1}, 10)), 50, 1e-9);
    EXPECT_TRUE(shape_cut(square, {1, 0}, -1).empty());
    EXPECT_EQ(shape_cut(square, {1, 0}, 10), square);
}

}  // namespace
}  // namespace zelvo
