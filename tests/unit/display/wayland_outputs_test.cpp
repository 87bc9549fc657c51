#include <gtest/gtest.h>

#include "display/wayland_outputs.h"

namespace zelvo {
namespace {

// Announces an output as the protocol's events would, and ends the change with its done event.
void announce(OutputBook& book, std::uint32_t global, const OutputFacts& facts, bool xdg_output = true) {
    book.add(global);
    if (xdg_output) book.expect_logical(global);
    *book.pending(global) = facts;
    book.done(global);
}

std::vector<std::string> names(const std::vector<Monitor>& monitors) {
    std::vector<std::string> found;
    for (const Monitor& monitor : monitors) found.push_back(monitor.name);
    return found;
}

TEST(OutputBook, OrdersByLogicalPositionLeftToRightThenTopToBottom) {
    OutputBook book;
    // The geometry's position is the physical one; the logical one decides.
    announce(book, 7, {"DP-1", {}, OutputPoint{0, 0}, OutputPoint{1920, 0}, OutputSize{3840, 2160}, OutputSize{1920, 1080}});
    announce(book, 3, {"DP-2", {}, OutputPoint{9000, 0}, OutputPoint{0, 1080}, OutputSize{800, 600}, OutputSize{800, 600}});
    announce(book, 9, {"HDMI-A-1", {}, {}, OutputPoint{0, 0}, {}, OutputSize{1920, 1080}});
    // Mirrored outputs in one place keep an order all the same.
    announce(book, 1, {"eDP-1", {}, {}, OutputPoint{0, 0}, {}, OutputSize{1920, 1080}});
    EXPECT_EQ(book.monitors(), (std::vector<Monitor>{{"HDMI-A-1", 0, 0, 1920, 1080}, {"eDP-1", 0, 0, 1920, 1080},
                                                     {"DP-2", 0, 1080, 800, 600}, {"DP-1", 1920, 0, 1920, 1080}}));
}

TEST(OutputBook, NamesComeFromWlOutputElseFromXdgOutput) {
    OutputBook book;
    announce(book, 1, {"wl-name", "xdg-name", {}, OutputPoint{0, 0}, {}, {}});
    announce(book, 2, {{}, "older", {}, OutputPoint{10, 0}, {}, {}});  // wl_output before version 4
    announce(book, 3, {{}, {}, {}, OutputPoint{20, 0}, {}, {}});        // no name at all: not addressable
    // Without xdg-output: the geometry's position and the mode's size.
    announce(book, 4, {"plain", {}, OutputPoint{30, 5}, {}, OutputSize{640, 480}, {}}, false);
    EXPECT_EQ(book.monitors(), (std::vector<Monitor>{{"wl-name", 0, 0, 0, 0}, {"older", 10, 0, 0, 0},
                                                     {"plain", 30, 5, 640, 480}}));
}

TEST(OutputBook, AnOutputsScaleMakesItsPictureLargerThanItsPlaceOnTheDesktop) {
    OutputBook book;
    // xdg-output's logical size is the place; without it, the mode divided by the scale.
    announce(book, 1, {"DP-1", {}, {}, OutputPoint{0, 0}, OutputSize{3840, 2160}, OutputSize{1920, 1080}, 2});
    announce(book, 2, {"DP-2", {}, OutputPoint{1920, 0}, {}, OutputSize{2400, 1800}, {}, 3}, false);
    // A scale beyond reason counts as the largest taken; none below 1.
    announce(book, 3, {"DP-3", {}, {}, OutputPoint{2720, 0}, {}, OutputSize{100, 100}, 1000});
    announce(book, 4, {"DP-4", {}, {}, OutputPoint{2820, 0}, {}, OutputSize{100, 100}, -2});
    const std::vector<Monitor> monitors = book.monitors();
    const std::uint32_t most = most_output_scale;
    EXPECT_EQ(monitors, (std::vector<Monitor>{{"DP-1", 0, 0, 1920, 1080, 2}, {"DP-2", 1920, 0, 800, 600, 3},
                                              {"DP-3", 2720, 0, 100, 100, most}, {"DP-4", 2820, 0, 100, 100, 1}}));
    EXPECT_EQ(monitor_pixel_size(monitors[0]), (PixelSize{3840, 2160}));
    EXPECT_EQ(monitor_pixel_size(monitors[1]), (PixelSize{2400, 1800}));
    // A change of scale alone is a change of monitor.
    EXPECT_NE(monitors[0], (Monitor{"DP-1", 0, 0, 1920, 1080, 1}));
}

TEST(OutputBook, AnOutputCountsWholeAndGoesWhenRemoved) {
    OutputBook book;
    announce(book, 1, {"A", {}, {}, OutputPoint{0, 0}, {}, OutputSize{800, 600}});
    // Announced, but its logical position not yet in: not yet a monitor.
    book.add(2);
    book.expect_logical(2);
    book.pending(2)->name = "B";
    book.done(2);
    EXPECT_EQ(names(book.monitors()), std::vector<std::string>{"A"});
    book.pending(2)->logical_position = OutputPoint{800, 0};
    EXPECT_EQ(names(book.monitors()), std::vector<std::string>{"A"}) << "counted before its done event";
    book.done(2);
    EXPECT_EQ(names(book.monitors()), (std::vector<std::string>{"A", "B"}));
    // A change is seen only whole, at its done event.
    book.pending(1)->logical_position = OutputPoint{1600, 0};
    EXPECT_EQ(book.monitors().front(), (Monitor{"A", 0, 0, 800, 600}));
    book.done(1);
    EXPECT_EQ(names(book.monitors()), (std::vector<std::string>{"B", "A"}));

    EXPECT_TRUE(book.remove(2));
    EXPECT_FALSE(book.remove(2));
    EXPECT_EQ(book.pending(2), nullptr);
    book.done(2);  // a late event of the removed output changes nothing
    EXPECT_EQ(book.monitors(), (std::vector<Monitor>{{"A", 1600, 0, 800, 600}}));
    EXPECT_EQ(book.size(), 1u);
}

}  // namespace
}  // namespace zelvo
