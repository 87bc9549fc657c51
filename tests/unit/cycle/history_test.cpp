#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cycle/history.h"

namespace zelvo {
namespace {

bool kept(const std::string& image) { return image.find("gone") == std::string::npos; }

TEST(ShownHistory, KeepsTheLast32SetsAndGoesBackPastMissingImages) {
    ShownHistory history;
    EXPECT_EQ(history_on_screen(history), nullptr);
    EXPECT_FALSE(history_earlier(history, kept));
    for (int change = 0; change < 40; ++change)
        history_record(history, {"/" + std::to_string(change), change % 5 == 3 ? "/gone" : "/b"});
    ASSERT_EQ(history.sets.size(), 32u);
    EXPECT_EQ(history.sets.front().front(), "/8");  // the oldest eight are forgotten
    EXPECT_EQ(history_on_screen(history)->front(), "/39");
    EXPECT_EQ(history_earlier(history, kept), 29u);  // past "/38", a set with a missing image
    history.on_screen = 2;
    EXPECT_EQ(history_earlier(history, kept), 1u);
    history.on_screen = 1;  // only the oldest is before it, and one of its images is gone
    EXPECT_FALSE(history_earlier(history, kept));
    history_record(history, {"/40"});  // a change after going back is the newest again
    EXPECT_EQ(history.on_screen, 31u);
}

}  // namespace
}  // namespace zelvo
