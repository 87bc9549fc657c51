#include <gtest/gtest.h>

#include "colour/exports.h"

namespace zelvo {
namespace {

const Palette palette = {"#000000", "#111111", "#222222", "#333333", "#444444", "#555555", "#666666", "#777777",
                         "#888888", "#999999", "#aaaaaa", "#bbbbbb", "#cccccc", "#dddddd", "#eeeeee", "#FFFFFF"};

TEST(Exports, JsonEscapesTheNameAndReplacesBytesThatAreNotUtf8) {
    const std::string json = colours_json(palette, "/a \"b\"\\c\n\x01 caf\xc3\xa9 \xff\xe0\x80 \xed\xa0\x80.png");
    EXPECT_TRUE(json.starts_with("{\n    \"wallpaper\": \"/a \\\"b\\\"\\\\c\\u000a\\u0001 caf\xc3\xa9 "
                                 "\\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd.png\",\n    \"alpha\": \"100\",\n"))
        << json;
    EXPECT_TRUE(json.ends_with("        \"color14\": \"#eeeeee\",\n        \"color15\": \"#FFFFFF\"\n    }\n}\n"));
}

}  // namespace
}  // namespace zelvo
