#include <gtest/gtest.h>

#include "display/x_root.h"

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

}  // namespace
}  // namespace zelvo
