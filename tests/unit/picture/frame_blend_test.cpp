#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "picture/frame_blend.h"

namespace zelvo {
namespace {

using Kind = Transition::Kind;

Transition linear(std::chrono::milliseconds time, std::uint32_t fps) {
    Transition transition;
    transition.time = time;
    transition.fps = fps;
    transition.ease_x1 = transition.ease_y1 = 0;
    transition.ease_x2 = transition.ease_y2 = 1;
    return transition;
}

// Whether the pixel shows the new picture at the progress.
bool is_new(const BlendShape& shape, std::uint32_t x, std::uint32_t y, double progress) {
    const RowRun run = frame_run(shape, y, progress);
    return x >= run.begin && x < run.end;
}

// A picture whose every pixel differs from every other, in every channel but the unused one.
std::vector<std::uint32_t> pixels_of(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    std::vector<std::uint32_t> pixels(std::size_t{width} * height);
    for (std::size_t at = 0; at < pixels.size(); ++at) pixels[at] = static_cast<std::uint32_t>(at * 2654435761u + seed);
    return pixels;
}

TEST(TransitionFrames, TheTimeAtItsFpsButNeverFasterThanTheOutputRefreshesAndAtLeastOne) {
    struct Case {
        long milliseconds;
        std::uint32_t fps, refresh_mhz, frames;
    } const cases[] = {
        {1000, 30, 60000, 30}, {1000, 120, 60000, 60}, {1000, 30, 0, 30},   {500, 30, 59951, 15},
        {2000, 144, 74973, 150}, {10, 30, 60000, 1},   {1000, 0, 60000, 1},
    };
    for (const Case& one : cases)
        EXPECT_EQ(transition_frames(linear(std::chrono::milliseconds(one.milliseconds), one.fps), one.refresh_mhz),
                  one.frames)
            << one.milliseconds << " ms at " << one.fps << " fps on " << one.refresh_mhz << " mHz";
}

TEST(TransitionProgress, RunsFromTheOldPictureToExactlyTheNewAlongTheEasing) {
    const Transition straight = linear(std::chrono::seconds(1), 30);
    for (std::uint32_t frame = 0; frame <= 30; ++frame)
        EXPECT_NEAR(transition_progress(straight, frame, 30), frame / 30.0, 1e-9) << frame;
    const Transition eased;  // the default curve: slow at first, fast in the middle
    EXPECT_EQ(transition_progress(eased, 0, 30), 0);
    EXPECT_EQ(transition_progress(eased, 30, 30), 1);
    EXPECT_LT(transition_progress(eased, 3, 30), 0.1);
    EXPECT_GT(transition_progress(eased, 18, 30), 0.75);
    for (std::uint32_t frame = 1; frame <= 30; ++frame)
        EXPECT_GE(transition_progress(eased, frame, 30), transition_progress(eased, frame - 1, 30)) << frame;
}

TEST(BlendFadeRow, MixesEachChannelByTheWeightAndGivesEitherPictureExactlyAtTheEnds) {
    // Four pixels at a time, and the rest one by one.
    const std::vector<std::uint32_t> old_row = pixels_of(67, 1, 7), new_row = pixels_of(67, 1, 99991);
    std::vector<std::uint32_t> out(67);
    blend_fade_row(old_row.data(), new_row.data(), out.data(), out.size(), 0);
    EXPECT_EQ(out, old_row);
    blend_fade_row(old_row.data(), new_row.data(), out.data(), out.size(), 256);
    EXPECT_EQ(out, new_row);
    blend_fade_row(old_row.data(), new_row.data(), out.data(), out.size(), 64);
    for (std::size_t x = 0; x < out.size(); ++x)
        for (int shift = 0; shift < 32; shift += 8) {
            const int was = (old_row[x] >> shift) & 0xFF, will = (new_row[x] >> shift) & 0xFF;
            EXPECT_NEAR((out[x] >> shift) & 0xFF, (was * 192 + will * 64) / 256.0, 1) << x << " " << shift;
        }
}

// Shapes on a picture of odd sizes, each direction of a wipe and growths from the middle and the edges.
const BlendShape shapes[] = {
    {Kind::wipe, 37, 23, 0, 0.5, 0.5},    {Kind::wipe, 37, 23, 90, 0.5, 0.5},  {Kind::wipe, 37, 23, 180, 0.5, 0.5},
    {Kind::wipe, 37, 23, 270, 0.5, 0.5},  {Kind::wipe, 37, 23, 30, 0.5, 0.5},  {Kind::wipe, 37, 23, 135, 0.5, 0.5},
    {Kind::wipe, 37, 23, -100, 0.5, 0.5}, {Kind::grow, 37, 23, 0, 0.5, 0.5},   {Kind::grow, 37, 23, 0, 0.25, 0.75},
    {Kind::grow, 37, 23, 0, 0, 0},        {Kind::grow, 37, 23, 0, 1, 0.1},
};
const double progresses[] = {0, 0.01, 0.2, 0.37, 0.5, 0.8, 0.99, 1};

TEST(FrameRun, AWipeIsAStraightEdgeAtItsAngleAndAGrowthACircleAboutItsPoint) {
    for (const BlendShape& shape : shapes) {
        for (std::size_t step = 0; step < std::size(progresses); ++step) {
            const double progress = progresses[step];
            // The new pixels are those on the near side of a line across the
            // direction (a wipe), or within a circle about the point (a growth).
            const double radians = shape.angle * M_PI / 180;
            const auto measure = [&](std::uint32_t x, std::uint32_t y) {
                if (shape.kind == Kind::wipe) return (x + 0.5) * std::cos(radians) + (y + 0.5) * std::sin(radians);
                return std::hypot(x + 0.5 - shape.x * shape.width, y + 0.5 - shape.y * shape.height);
            };
            double most_new = -1e9, least_old = 1e9;
            std::size_t shown = 0;
            for (std::uint32_t y = 0; y < shape.height; ++y)
                for (std::uint32_t x = 0; x < shape.width; ++x) {
                    const bool now = is_new(shape, x, y, progress);
                    shown += now;
                    if (now)
                        most_new = std::max(most_new, measure(x, y));
                    else
                        least_old = std::min(least_old, measure(x, y));
                    if (step > 0 && is_new(shape, x, y, progresses[step - 1])) {
                        EXPECT_TRUE(now) << "it grows only";
                    }
                }
            EXPECT_LT(most_new, least_old + 1e-9) << shape.angle << " " << progress;
            if (progress == 0) {
                EXPECT_EQ(shown, 0u);
            }
            if (progress == 1) {
                EXPECT_EQ(shown, std::size_t{shape.width} * shape.height);
            }
            if (progress == 0.5 && shape.kind == Kind::wipe && std::fmod(shape.angle, 90) == 0) {
                EXPECT_NEAR(shown, shape.width * shape.height / 2.0, shape.width) << "half at half way";
            }
        }
    }
}

TEST(FrameChanges, HoldEveryChangedPixelInFewRectanglesLittleLargerThanTheChange) {
    for (const BlendShape& shape : shapes) {
        for (double from : progresses) {
            for (double to : progresses) {
                if (from > to) continue;
                const std::vector<PictureRect> rects = frame_changes(shape, from, to);
                ASSERT_LE(rects.size(), most_frame_rects);
                std::vector<int> covered(std::size_t{shape.width} * shape.height, 0);
                std::size_t area = 0, changed = 0;
                for (const PictureRect& rect : rects) {
                    ASSERT_LE(rect.x + rect.width, shape.width);
                    ASSERT_LE(rect.y + rect.height, shape.height);
                    area += std::size_t{rect.width} * rect.height;
                    for (std::uint32_t y = rect.y; y < rect.y + rect.height; ++y)
                        for (std::uint32_t x = rect.x; x < rect.x + rect.width; ++x) ++covered[y * shape.width + x];
                }
                for (std::uint32_t y = 0; y < shape.height; ++y)
                    for (std::uint32_t x = 0; x < shape.width; ++x)
                        if (is_new(shape, x, y, from) != is_new(shape, x, y, to)) {
                            ++changed;
                            EXPECT_GT(covered[y * shape.width + x], 0) << x << "," << y << " " << from << "->" << to;
                        }
                const bool straight = shape.kind == Kind::wipe && std::fmod(shape.angle, 90) == 0;
                // A straight edge changes whole columns or rows: one rectangle, exactly them.
                if (straight) {
                    EXPECT_EQ(area, changed) << shape.angle << " " << from << "->" << to;
                    EXPECT_EQ(rects.size(), changed > 0 ? 1u : 0u);
                }
                EXPECT_LE(area, changed * 2 + std::size_t{shape.width} * 2 * 2)
                    << shape.angle << " " << from << "->" << to;
            }
        }
    }
    // A fade changes every pixel, unless nothing changes.
    const BlendShape fade{Kind::fade, 37, 23};
    EXPECT_EQ(frame_changes(fade, 0.2, 0.3), (std::vector<PictureRect>{{0, 0, 37, 23}}));
    EXPECT_EQ(frame_changes(fade, 0.3, 0.3), std::vector<PictureRect>{});
}

TEST(BlendRect, WritingOnlyWhatChangedSinceABuffersFrameGivesTheWholeNewFrame) {
    for (const BlendShape& shape : shapes) {
        const std::vector<std::uint32_t> old_picture = pixels_of(shape.width, shape.height, 1);
        const std::vector<std::uint32_t> new_picture = pixels_of(shape.width, shape.height, 424242);
        const std::size_t stride = shape.width * 4;
        const PixelRows old_rows{reinterpret_cast<const unsigned char*>(old_picture.data()), stride};
        const PixelRows new_rows{reinterpret_cast<const unsigned char*>(new_picture.data()), stride};
        const PictureRect whole{0, 0, shape.width, shape.height};
        // A buffer that went from frame to frame, each written where it changed, against each frame written whole.
        std::vector<std::uint32_t> buffer(old_picture.size(), 0xDEADBEEF), fresh(old_picture.size());
        const auto bytes = [](std::vector<std::uint32_t>& pixels) { return reinterpret_cast<unsigned char*>(pixels.data()); };
        blend_rect(shape, progresses[0], whole, old_rows, new_rows, bytes(buffer), stride);
        for (std::size_t step = 1; step < std::size(progresses); ++step) {
            for (const PictureRect& rect : frame_changes(shape, progresses[step - 1], progresses[step]))
                blend_rect(shape, progresses[step], rect, old_rows, new_rows, bytes(buffer), stride);
            blend_rect(shape, progresses[step], whole, old_rows, new_rows, bytes(fresh), stride);
            ASSERT_EQ(buffer, fresh) << shape.angle << " at " << progresses[step];
            for (std::size_t at = 0; at < fresh.size(); ++at)
                ASSERT_EQ(fresh[at], is_new(shape, at % shape.width, at / shape.width, progresses[step]) ? new_picture[at]
                                                                                                        : old_picture[at]);
        }
        EXPECT_EQ(buffer, new_picture) << "the last frame is the new picture";
    }
}

TEST(FrameRing, WritesOnlyFreeBuffersOnlyWhereTheyChangedAndDamagesWhatDiffersFromTheScreen) {
    const BlendShape shape{Kind::wipe, 100, 10, 0, 0.5, 0.5};
    FrameRing ring(shape, 3);
    // Each buffer's first frame is written whole; only what differs from the screen is damaged.
    std::vector<FrameAsk> asks;
    for (std::uint32_t frame = 1; frame <= 3; ++frame) {
        std::optional<FrameAsk> ask = ring.ask(frame, frame / 10.0, 0);
        ASSERT_TRUE(ask.has_value());
        EXPECT_EQ(ask->slot, frame - 1);
        EXPECT_EQ(ask->write, (std::vector<PictureRect>{{0, 0, 100, 10}}));
        EXPECT_EQ(ask->damage, (std::vector<PictureRect>{{0, 0, frame * 10, 10}}));
        asks.push_back(*ask);
    }
    EXPECT_EQ(ring.ask(4, 0.4, 0), std::nullopt) << "every buffer busy";
    // Written, attached, shown: a buffer held by the compositor is never given, even once written.
    for (std::size_t slot = 0; slot < 3; ++slot) ring.written(slot);
    ring.attached(0);
    ring.attached(1);
    ring.dropped(2);  // frame 3 was late and went nowhere
    EXPECT_EQ(ring.state(0), FrameRing::Slot::held);
    EXPECT_EQ(ring.state(2), FrameRing::Slot::free);
    std::optional<FrameAsk> again = ring.ask(5, 0.5, 0.2);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->slot, 2u);
    // It held frame 3: written from there; the screen shows frame 2, so damaged from there.
    EXPECT_EQ(again->write, (std::vector<PictureRect>{{30, 0, 20, 10}}));
    EXPECT_EQ(again->damage, (std::vector<PictureRect>{{20, 0, 30, 10}}));
    EXPECT_EQ(ring.ask(6, 0.6, 0.2), std::nullopt);
    ring.released(0);
    ring.written(2);
    ring.attached(2);
    std::optional<FrameAsk> after_release = ring.ask(6, 0.6, 0.5);
    ASSERT_TRUE(after_release.has_value());
    EXPECT_EQ(after_release->slot, 0u);
    // Held frame 1: written and damaged from there, the screen being further on.
    EXPECT_EQ(after_release->write, (std::vector<PictureRect>{{10, 0, 50, 10}}));
    EXPECT_EQ(after_release->damage, after_release->write);
    EXPECT_EQ(ring.content(0), 0.1);
}

}  // namespace
}  // namespace zelvo
