#include <gtest/gtest.h>

#include "display/x_root.h"

#include <cmath>

namespace zelvo {
namespace {

// The chunks cover the picture once, row after row, and each request stays
// within the limit; a row too wide for one request is cut across.
TEST(PutImageChunks, CoverThePictureOnceUnderTheLimit) {
    struct Case {
        std::uint32_t width, height;
        std::size_t limit;
        std::size_t count;
        PutChunk last;
    };
    const Case cases[] = {
        // 16384 pixels a request: 25 rows of 640, the last chunk 10 rows.
        {640, 360, put_image_header_bytes + 65536, 15, {0, 350, 640, 10}},
        {3840, 2160, 262140, 2160 / 17 + 1, {0, 2159, 3840, 1}},
        {16, 16, 1 << 20, 1, {0, 0, 16, 16}},
        // 40000 pixels a row in parts of 16384.
        {40000, 2, put_image_header_bytes + 65536, 6, {32768, 1, 7232, 1}},
        {1, 1, put_image_header_bytes + 4, 1, {0, 0, 1, 1}},
        {10, 10, put_image_header_bytes + 3, 0, {}},
        {0, 10, 1 << 20, 0, {}},
    };
    for (const Case& row : cases) {
        const std::vector<PutChunk> chunks = put_image_chunks(row.width, row.height, row.limit);
        ASSERT_EQ(chunks.size(), row.count) << row.width << "x" << row.height;
        if (chunks.empty()) continue;
        EXPECT_EQ(chunks.back(), row.last);
        std::vector<int> covered(std::size_t{row.width} * row.height, 0);
        for (const PutChunk& chunk : chunks) {
            EXPECT_LE(put_image_header_bytes + std::size_t{chunk.width} * chunk.height * 4, row.limit);
            for (std::uint32_t y = chunk.y; y < chunk.y + chunk.height; ++y)
                for (std::uint32_t x = chunk.x; x < chunk.x + chunk.width; ++x) ++covered.at(std::size_t{y} * row.width + x);
        }
        EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), static_cast<long>(covered.size()));
    }
}

// Only a pixmap that both properties name was left to be freed.
TEST(RootPixmapFreeable, OnlyWhenBothPropertiesNameIt) {
    struct Case {
        std::optional<std::uint32_t> root, esetroot;
        bool freeable;
    };
    const Case cases[] = {
        {0x200001, 0x200001, true}, {0x200001, 0x400001, false}, {0x200001, std::nullopt, false},
        {std::nullopt, 0x200001, false}, {std::nullopt, std::nullopt, false}, {0, 0, false},
    };
    for (const Case& row : cases)
        EXPECT_EQ(root_pixmap_freeable(row.root, row.esetroot), row.freeable)
            << row.root.value_or(0) << " " << row.esetroot.value_or(0);
}


// The trapezoids cover a convex polygon once: bands one below the other, from
// its top to its bottom, each between two of its sides, as much area as it has.
TEST(ShapeTrapezoids, CoverAConvexPolygonOnceTopToBottom) {
    struct Case {
        Shape shape;
        std::size_t count;
        double area;
    };
    const Case cases[] = {
        {{{0, 0}, {10, 0}, {10, 5}, {0, 5}}, 1, 50}, {{{0, 5}, {10, 5}, {10, 0}, {0, 0}}, 1, 50},
        {{{5, 0}, {10, 10}, {0, 4}}, 2, 35},         {{{5, 0}, {10, 5}, {5, 10}, {0, 5}}, 2, 50},
        {{{0, 0}, {10, 0}, {5, 0}}, 0, 0},           {{}, 0, 0},
    };
    const auto x_at = [](ShapePoint from, ShapePoint to, double y) {
        return from.x + (y - from.y) / (to.y - from.y) * (to.x - from.x);
    };
    for (const Case& row : cases) {
        const std::vector<Trapezoid> trapezoids = shape_trapezoids(row.shape);
        ASSERT_EQ(trapezoids.size(), row.count) << row.shape.size();
        double covered = 0;
        for (std::size_t index = 0; index < trapezoids.size(); ++index) {
            const Trapezoid& t = trapezoids[index];
            EXPECT_EQ(t.top, index > 0 ? trapezoids[index - 1].bottom : 0);
            const double top = x_at(t.right_from, t.right_to, t.top) - x_at(t.left_from, t.left_to, t.top);
            const double bottom = x_at(t.right_from, t.right_to, t.bottom) - x_at(t.left_from, t.left_to, t.bottom);
            EXPECT_GE(std::min(top, bottom), 0);
            covered += (top + bottom) / 2 * (t.bottom - t.top);
        }
        EXPECT_NEAR(covered, row.area, 1e-9) << row.shape.size();
    }
}

// A mode's refresh from its timings, and a monitor's from the CRTCs that scan it out.
TEST(MonitorRefresh, TheSlowestCrtcAcrossTheMonitorElseSixty) {
    EXPECT_NEAR(*mode_refresh(148500000, 2200, 1125, 0), 60.0, 1e-9);
    EXPECT_NEAR(*mode_refresh(16200000, 1080, 500, 0), 30.0, 1e-9);
    EXPECT_NEAR(*mode_refresh(16200000, 1080, 500, 1u << 4), 60.0, 1e-9);
    EXPECT_NEAR(*mode_refresh(16200000, 1080, 500, 1u << 5), 15.0, 1e-9);
    EXPECT_FALSE(mode_refresh(0, 1000, 400, 0) || mode_refresh(1000, 0, 400, 0) || mode_refresh(1000, 1000, 0, 0));

    const Monitor left{"L", 0, 0, 1920, 1080, 1}, right{"R", 1920, 0, 1280, 1024, 1};
    struct Case {
        Monitor monitor;
        std::vector<CrtcRefresh> crtcs;
        std::uint32_t refresh;
    };
    const Case cases[] = {
        {left, {{0, 0, 1920, 1080, 143.9}, {1920, 0, 1280, 1024, 75}}, 144},
        {right, {{0, 0, 1920, 1080, 143.9}, {1920, 0, 1280, 1024, 75}}, 75},
        // A monitor across two CRTCs shows frames at the slower.
        {Monitor{"W", 0, 0, 3200, 1080, 1}, {{0, 0, 1920, 1080, 143.9}, {1920, 0, 1280, 1024, 59.94}}, 60},
        // Touching is not scanning out: the CRTC beside the monitor counts for nothing.
        {left, {{1920, 0, 1280, 1024, 30}}, 60},
        {left, {{0, 0, 1920, 1080, std::nullopt}}, 60},
        {left, {}, 60},
        {left, {{0, 0, 1920, 1080, 0.2}}, 1},
    };
    for (const Case& row : cases) EXPECT_EQ(monitor_refresh(row.monitor, row.crtcs), row.refresh) << row.monitor.name;
}

}  // namespace
}  // namespace zelvo
