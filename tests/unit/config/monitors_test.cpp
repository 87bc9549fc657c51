#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>

#include "config/monitors.h"
#include "support/magick.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

StringList list_of(const std::vector<std::string>& texts) {
    StringList list = StringList::placeholder();
    StringNode* tail = list.first();
    for (const std::string& text : texts) tail = string_list_append(tail, text);
    return list;
}

// A ring of the texts in this order, as a shuffle leaves one.
ImageRing ring_of(const std::vector<std::string>& texts) {
    StringNode* first = list_of(texts).release();
    string_list_last(first)->link = first;
    return ImageRing(first);
}

std::vector<std::string> shown(const std::vector<std::optional<std::string>>& on_screen) {
    std::vector<std::string> texts;
    for (const std::optional<std::string>& image : on_screen) texts.push_back(image.value_or("-"));
    return texts;
}

// Keeps the images on screen but those of the monitors that change.
std::vector<std::optional<std::string>> keeping(const std::vector<std::optional<std::string>>& on_screen,
                                                const std::vector<bool>& changing) {
    std::vector<std::optional<std::string>> keep = on_screen;
    for (std::size_t monitor = 0; monitor < changing.size(); ++monitor)
        if (changing[monitor]) keep[monitor].reset();
    return keep;
}

MonitorGroup group(std::optional<int> minutes, std::optional<std::string> style = std::nullopt) {
    return MonitorGroup{StringList(), minutes, std::move(style), {}};
}

TEST(BuildGroupRings, OneRingForEachGroupWithImagesAndOneLineForEachWithout) {
    magick_start("zelvo_unit_tests");
    std::string pattern = (fs::temp_directory_path() / "zelvo-monitors-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string top = fs::canonical(pattern);
    fs::create_directories(top + "/pics");
    fs::create_directories(top + "/empty");
    for (const char* name : {"a.png", "b.png"})
        ASSERT_EQ(std::system(("convert -size 4x4 xc:red " + top + "/pics/" + name).c_str()), 0);

    Config config;
    config.per_monitor.resize(4);
    config.per_monitor[0].sources = list_of({top + "/pics"});
    config.per_monitor[2].sources = list_of({top + "/empty"});
    config.per_monitor[3].sources = StringList::placeholder();
    testing::internal::CaptureStderr();
    const std::vector<ImageRing> rings = build_group_rings(config, ExpandOptions{});
    const std::string said = testing::internal::GetCapturedStderr();
    fs::remove_all(top);

    ASSERT_EQ(rings.size(), 4u);
    ASSERT_NE(rings[0].node(), nullptr);
    std::set<std::string> images;
    for (const StringNode* node = rings[0].node(); images.insert(*node->value).second; node = node->link) {}
    EXPECT_EQ(images, (std::set<std::string>{top + "/pics/a.png", top + "/pics/b.png"}));
    EXPECT_EQ(ring_count(rings[0].node()), 2u);
    EXPECT_EQ(std::make_tuple(rings[1].node(), rings[2].node(), rings[3].node()),
              std::make_tuple(nullptr, nullptr, nullptr));
    EXPECT_EQ(said,
              "Zelvo found no suitable images for monitor 3 and shows the main images there\r\n"
              "Zelvo found no suitable images for monitor 4 and shows the main images there\r\n");
}

TEST(TakeNextImages, EachMonitorTakesFromItsOwnRingWithoutRepeatingARoundAndTheOthersKeepTheirs) {
    const ImageRing main = ring_of({"a", "b", "c"});
    std::vector<ImageRing> groups(2);
    groups[1] = ring_of({"x", "y"});
    RingPlace main_place = ring_place_start(main, main.node());
    std::vector<RingPlace> places = {RingPlace{}, ring_place_start(groups[1], groups[1].node())};
    const MonitorFeeds feeds{main, main_place, groups, places};
    std::vector<std::optional<std::string>> on_screen(3);

    // Monitors 0 and 2 share the main ring: consecutive images, as one ring always gave.
    on_screen = take_next_images(feeds, on_screen);
    EXPECT_EQ(shown(on_screen), (std::vector<std::string>{"a", "x", "b"}));
    on_screen = take_next_images(feeds, keeping(on_screen, {true, true, true}));
    EXPECT_EQ(shown(on_screen), (std::vector<std::string>{"c", "y", "a"}));
    on_screen = take_next_images(feeds, keeping(on_screen, {false, true, false}));
    EXPECT_EQ(shown(on_screen), (std::vector<std::string>{"c", "x", "a"}));
    on_screen = take_next_images(feeds, keeping(on_screen, {true, false, false}));
    EXPECT_EQ(shown(on_screen), (std::vector<std::string>{"b", "x", "a"}));
    // A monitor beyond every group takes the main ring's; the group's round goes on where it was.
    EXPECT_FALSE(monitor_has_own_ring(groups, 2));
    EXPECT_EQ(*main_place.current->value, "c");
    EXPECT_EQ(*places[1].current->value, "y");
    // A ring with no image left gives none, and its monitor keeps nothing.
    RingPlace empty_place;
    const ImageRing empty;
    std::vector<RingPlace> no_places;
    EXPECT_EQ(take_next_images(MonitorFeeds{empty, empty_place, {}, no_places}, {std::nullopt, "k"}),
              (std::vector<std::optional<std::string>>{std::nullopt, "k"}));
}

TEST(MonitorSettings, AGroupsOwnIntervalAndFitElseTheMainOnes) {
    Config config;
    config.bg_style = "--bg-scale";
    config.per_monitor.push_back(group(10, "--bg-fill"));
    config.per_monitor.push_back(group(0));
    config.per_monitor.push_back(group(-3, "--bg-max"));
    config.per_monitor.push_back(group(std::numeric_limits<int>::max()));
    const std::pair<std::uint32_t, std::string> expected[] = {
        {600, "--bg-fill"}, {1800, "--bg-scale"}, {1800, "--bg-max"}, {4294967295u, "--bg-scale"}, {1800, "--bg-scale"}};
    for (std::size_t monitor = 0; monitor < std::size(expected); ++monitor)
        EXPECT_EQ(std::make_pair(monitor_interval_seconds(config, monitor, 1800), monitor_bg_style(config, monitor)),
                  expected[monitor]) << monitor;
}

// A group's transition keys lie over the main ones, each part on its own;
// "random" picks the kind by the change's number, the same for every monitor.
TEST(MonitorSettings, AGroupsOwnTransitionOverTheMainOne) {
    using Kind = Transition::Kind;
    Config config;
    config.transition = {.style = TransitionStyle::random, .time = 400ms, .fps = 20, .position = ShapePoint{0.1, 0.2}};
    config.per_monitor.resize(2);
    config.per_monitor[0].transition = {.style = TransitionStyle::wipe, .fps = 50, .angle = 90.0,
                                        .easing = std::array<double, 4>{0, 0, 1, 1}};
    // monitor, pick: kind, fps, angle, x2 of the easing
    const std::tuple<std::size_t, std::uint32_t, Kind, std::uint32_t, double, double> cases[] = {
        {0, 0, Kind::wipe, 50, 90, 1},    {0, 1, Kind::wipe, 50, 90, 1}, {1, 0, Kind::fade, 20, 0, 0.34},
        {1, 1, Kind::wipe, 20, 0, 0.34}, {2, 2, Kind::grow, 20, 0, 0.34}, {5, 3, Kind::fade, 20, 0, 0.34}};
    for (const auto& [monitor, pick, kind, fps, angle, x2] : cases) {
        const Transition transition = monitor_transition(config, monitor, pick);
        EXPECT_EQ(std::tie(transition.kind, transition.fps, transition.angle, transition.ease_x2, transition.time,
                           transition.x, transition.y),
                  std::make_tuple(kind, fps, angle, x2, 400ms, 0.1, 0.2)) << monitor << " " << pick;
    }
    const Transition plain = monitor_transition(Config{}, 0, 7);  // no keys: none, at the defaults
    EXPECT_EQ(std::tie(plain.kind, plain.time, plain.fps), std::make_tuple(Kind::none, 1000ms, 30u));
}

TEST(MonitorSchedule, PeriodsOfOneAndTwoMinutesStayApartAndMeetEveryTwoMinutes) {
    const MonitorClock::time_point start{};
    const std::vector<std::chrono::seconds> periods = {60s, 120s};
    std::vector<MonitorClock::time_point> next = {start + 60s, start + 120s};
    std::vector<std::vector<bool>> changes;
    MonitorClock::time_point now = start;
    while ((now = first_change(next, now)) <= start + 600s) {
        // The loop is once held up for three seconds; nothing drifts for it.
        const MonitorClock::time_point woken = now == start + 240s ? now + 3s : now;
        const std::vector<bool> due = monitors_due(next, woken);
        for (std::size_t monitor = 0; monitor < next.size(); ++monitor)
            if (due[monitor]) next[monitor] = next_change_after(next[monitor], periods[monitor], woken);
        changes.push_back(due);
    }
    ASSERT_EQ(changes.size(), 10u);
    for (std::size_t minute = 1; minute <= 10; ++minute)
        EXPECT_EQ(changes[minute - 1], (std::vector<bool>{true, minute % 2 == 0})) << minute;
    // Held up past its next change too, a monitor counts its period from when it ran.
    EXPECT_EQ(next_change_after(start + 60s, 60s, start + 150s), start + 210s);
    EXPECT_EQ(first_change({}, start + 5s), start + 5s);
}

}  // namespace
}  // namespace zelvo
