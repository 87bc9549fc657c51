#include <gtest/gtest.h>

#include "picture/picture_fit.h"

namespace zelvo {
namespace {

// Each style on a monitor wider and one taller than the image, worked out
// by hand from feh's rules: what part of the image goes where.
TEST(PictureFit, EachStyleAsFehDrawsIt) {
    struct Case {
        const char* style;
        std::uint32_t iw, ih, mw, mh;
        PictureFit expected;
    };
    const Case cases[] = {
        {"--bg-scale", 200, 100, 640, 360, {{0, 0, 200, 100}, {0, 0, 640, 360}, false}},
        // 200 x 100 is wider than 16:9: 177 columns (100 * 640 / 360) from the centre.
        {"--bg-fill", 200, 100, 640, 360, {{11, 0, 177, 100}, {0, 0, 640, 360}, false}},
        {"--bg-fill", 100, 200, 640, 360, {{0, 72, 100, 56}, {0, 0, 640, 360}, false}},
        // Fitted inside: 300 wide gives 150 high, centred in 400.
        {"--bg-max", 200, 100, 300, 400, {{0, 0, 200, 100}, {0, 125, 300, 150}, false}},
        {"--bg-max", 100, 200, 640, 360, {{0, 0, 100, 200}, {230, 0, 180, 360}, false}},
        {"--bg-center", 200, 100, 640, 360, {{0, 0, 200, 100}, {220, 130, 200, 100}, false}},
        // 361 columns too many: 181 cut on the left, 180 on the right.
        {"--bg-center", 1001, 50, 640, 360, {{181, 0, 640, 50}, {0, 155, 640, 50}, false}},
        {"--bg-tile", 200, 100, 640, 360, {{0, 0, 200, 100}, {0, 0, 200, 100}, true}},
        // What feh does not know is its default, scale.
        {"--bg-fancy", 200, 100, 640, 360, {{0, 0, 200, 100}, {0, 0, 640, 360}, false}},
        {"", 3, 3, 5, 7, {{0, 0, 3, 3}, {0, 0, 5, 7}, false}},
        // A sliver stays at least a pixel.
        {"--bg-fill", 10000, 1, 1, 10000, {{4999, 0, 1, 1}, {0, 0, 1, 10000}, false}},
        {"--bg-max", 10000, 1, 100, 100, {{0, 0, 10000, 1}, {0, 49, 100, 1}, false}},
    };
    for (const Case& row : cases)
        EXPECT_EQ(picture_fit(picture_style(row.style), row.iw, row.ih, row.mw, row.mh), row.expected)
            << row.style << " " << row.iw << "x" << row.ih << " on " << row.mw << "x" << row.mh;
}

}  // namespace
}  // namespace zelvo
