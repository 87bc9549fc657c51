#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cycle/cycle.h"
#include "cycle/launch.h"
#include "cycle/rotation.h"
#include "cycle/schedule.h"
#include "cycle/swaybg_viewer.h"

namespace zelvo {
namespace {

// A ring of nodes with the given values, owned by the returned ImageRing,
// which holds the first node.
ImageRing make_ring(const std::vector<std::string>& values) {
    StringNode* first = string_list_append(nullptr, values.front());
    StringNode* tail = first;
    for (std::size_t index = 1; index < values.size(); ++index) tail = string_list_append(tail, values[index]);
    tail->link = first;
    return ImageRing(first);
}

std::vector<std::string> texts(char* const* entries, std::size_t count) {
    EXPECT_EQ(entries[count - 1], nullptr);
    return std::vector<std::string>(entries, entries + count - 1);
}

TEST(ViewerArgv, FixedEntriesThenOneImageForEachMonitor) {
    const LaunchVector argv = build_viewer_argv("--bg-fill --no-xinerama", {"/b.png", "/c.png"});
    ASSERT_EQ(argv.count(), 6u);
    EXPECT_EQ(texts(argv.entries(), 6),
              (std::vector<std::string>{"zelvo-feh", "--bg-fill --no-xinerama", "--no-fehbg", "/b.png", "/c.png"}));
}

// The images of a change of every monitor come from the place in the ring,
// wrapping round a ring shorter than the count, and the place moves on by
// the change's count once it is shown.
TEST(Rotation, TakesTheNextImagesRoundAShortRingAndMovesOnWhenShown) {
    RunOptions options;
    options.ring = make_ring({"/a.png", "/b.png", "/c.png"});
    RingPlace place = ring_place_start(options.ring, options.ring.node()->link);
    Rotation rotation(options, place);
    EXPECT_EQ(rotation.peek_main(5), (std::vector<std::string>{"/b.png", "/c.png", "/a.png", "/b.png", "/c.png"}));
    Change change;
    change.images = rotation.peek_main(2);
    change.advance = 2;
    rotation.shown(change);
    EXPECT_EQ(*rotation.on_screen(), (std::vector<std::string>{"/b.png", "/c.png"}));
    EXPECT_EQ(rotation.peek_main(1), std::vector<std::string>{"/a.png"});
    // Going back puts an earlier set on screen without moving the place.
    change.record = Change::Record::back_to;
    change.earlier = 0;
    change.advance = 0;
    rotation.shown(change);
    EXPECT_EQ(rotation.peek_main(1), std::vector<std::string>{"/a.png"});
    ImageRing lone = make_ring({"/only.jpg"});
    RingPlace lone_place = ring_place_start(lone, lone.node());
    options.ring = std::move(lone);
    Rotation single(options, lone_place);
    EXPECT_EQ(single.peek_main(3), (std::vector<std::string>(3, "/only.jpg")));
}

TEST(ViewerEnvp, HoldsDisplayThenXauthorityAndHomeWherePresent) {
    const std::optional<std::string> none;
    struct Case {
        std::optional<std::string> display, xauthority, home;
        std::vector<std::string> expected;
    } cases[] = {
        {":3", "/h/.Xauthority", "/h", {"DISPLAY=:3", "XAUTHORITY=/h/.Xauthority", "HOME=/h"}},
        {none, none, "/h", {"DISPLAY=:0", "HOME=/h"}},
        {":1.0", "/x", none, {"DISPLAY=:1.0", "XAUTHORITY=/x"}},
        {none, none, none, {"DISPLAY=:0"}},
    };
    for (const Case& test : cases) {
        LaunchVector envp = build_viewer_envp(test.display, test.xauthority, test.home);
        ASSERT_EQ(envp.count(), test.expected.size() + 1);
        EXPECT_EQ(texts(envp.entries(), envp.count()), test.expected);
        release_vector(envp);
        EXPECT_EQ(envp.count(), 0u);
    }
}

TEST(XrdbArgv, TheFirstValueStandsAsTheProgramName) {
    Config config;
    config.xrdb_args = StringList(string_list_append(nullptr, "--load"));
    string_list_append(config.xrdb_args.first(), "/h/.Xresources");
    LaunchVector argv = build_xrdb_argv(config);
    EXPECT_EQ(texts(argv.entries(), argv.count()), (std::vector<std::string>{"--load", "/h/.Xresources"}));
}

TEST(Settings, MonitorCountAndIntervalPreferTheOptionThenTheFile) {
    RunOptions options;
    options.config = ConfigPtr(new Config);
    struct Case {
        int option, file;
        std::int32_t monitors;
        std::uint32_t seconds;
    } cases[] = {
        {0, 30, 30, 1800},    {2, 3, 2, 120},   {0, 3, 3, 180},     {-1, 3, 3, 180},
        {1, 0, 1, 60},        {0, 0, 1, 1800},  {0, -5, 1, 1800},   {-7, -5, 1, 1800},
        // The product never wraps: the largest minutes that fit, one more, and the extremes.
        // Past 64 monitors the count stops growing.
        {0, 64, 64, 3840}, {0, 65, 64, 3900}, {65, 2, 64, 3900},
        {0, 71582788, 64, 4294967280u}, {0, 71582789, 64, 4294967295u},
        {INT_MAX, 1, 64, 4294967295u},   {0, INT_MAX, 64, 4294967295u},
        {INT_MIN, INT_MIN, 1, 1800},
    };
    for (const Case& test : cases) {
        options.minutes = options.monitors = test.option;
        options.config->minutes = options.config->monitors = test.file;
        EXPECT_EQ(monitor_count(options, 0), test.monitors) << test.option << " " << test.file;
        EXPECT_EQ(interval_seconds(options), test.seconds) << test.option << " " << test.file;
    }
}

TEST(Settings, WithSwaybgTheCountIsTheOutputsUnlessANumberSaysOtherwise) {
    RunOptions options;
    options.config = ConfigPtr(new Config);
    const int outputs = 3;
    struct Case {
        ViewerKind viewer;
        int option;
        bool counted;
        int file;
        std::int32_t monitors;
    } cases[] = {{ViewerKind::swaybg, 0, false, 1, 3}, {ViewerKind::swaybg, 0, true, 2, 2}, {ViewerKind::swaybg, 0, true, 1, 1},
                 {ViewerKind::swaybg, 2, false, 1, 2}, {ViewerKind::swaybg, 0, true, 0, 1},
                 // feh keeps its number when the display has other counts.
                 {ViewerKind::feh, 0, false, 1, 1}};
    for (const Case& test : cases) {
        options.config->viewer = test.viewer;
        options.monitors = test.option;
        options.config->monitors_counted = test.counted;
        options.config->monitors = test.file;
        EXPECT_EQ(monitor_count(options, outputs), test.monitors)
            << (test.viewer == ViewerKind::feh ? "feh " : "swaybg ") << test.option << " " << test.counted << " " << test.file;
    }
}

TEST(SwaybgPlan, EachOutputTakesItsMonitorsImageAndModeAndKeepsItsImageForAUrl) {
    const std::vector<Monitor> outputs = {{"DP-1", 0, 0, 800, 600}, {"DP-2", 800, 0, 640, 480}, {"DP-3", 0, 600, 10, 10}};
    Config config;
    config.bg_style = "--bg-fill";
    config.per_monitor.resize(2);
    config.per_monitor[1].bg_style = "--bg-center";
    // Fewer images than outputs: taken again from the first.
    using Shown = std::vector<std::tuple<std::string, std::string, std::string>>;
    const auto shown = [](const SwaybgPlan& plan) {
        Shown found;
        for (const SwaybgOutput& output : plan.outputs) found.emplace_back(output.name, output.image, output.mode);
        return found;
    };
    SwaybgPlan plan = plan_swaybg_outputs(outputs, {"/a.png", "/b.png"}, config, {});
    EXPECT_EQ(shown(plan), (Shown{{"DP-1", "/a.png", "fill"}, {"DP-2", "/b.png", "center"}, {"DP-3", "/a.png", "fill"}}));
    EXPECT_FALSE(plan.url_passed_over);

    // A URL: the output keeps what it showed; one that showed nothing is left out.
    const SwaybgPlan urls = plan_swaybg_outputs(outputs, {"HTTPS://xy/1.jpg", "/c.png", "ftp://yz/2.jpg"}, config,
                                                {plan.outputs[0], plan.outputs[1]});
    EXPECT_EQ(shown(urls), (Shown{{"DP-1", "/a.png", "fill"}, {"DP-2", "/c.png", "center"}}));
    EXPECT_EQ(urls.url_passed_over, "HTTPS://xy/1.jpg");
    EXPECT_TRUE(plan_swaybg_outputs({}, {"/a.png"}, config, {}).outputs.empty());
}

// The schedule's periods as the status tells them: with "per-monitor" each
// monitor its own (its group's minutes, else the main interval; -t over all),
// none due right after a restart, and no next change while paused.
TEST(Schedule, EachMonitorKeepsItsOwnPeriodAndAPauseWaitsForNothing) {
    const EventBasePtr base(event_base_new());
    RunOptions options;
    options.config = ConfigPtr(new Config);
    options.config->minutes = 3;
    options.config->per_monitor.resize(2);
    options.config->per_monitor[0].minutes = 1;
    int due = 0;
    Schedule schedule(base.get(), options, [&due] { ++due; }, [] {});
    schedule.restart(3);
    const auto periods = [&schedule] {
        std::vector<std::uint32_t> seconds;
        for (const MonitorTiming& timing : schedule.timings(3)) seconds.push_back(timing.interval);
        return seconds;
    };
    EXPECT_EQ(periods(), (std::vector<std::uint32_t>{60, 180, 180}));
    EXPECT_EQ(schedule.take_due(3), std::vector<bool>(3, false));
    const std::time_t now = std::time(nullptr);
    ASSERT_TRUE(schedule.next_change());
    EXPECT_TRUE(*schedule.next_change() >= now + 59 && *schedule.next_change() <= now + 61) << *schedule.next_change();
    options.minutes = 2;
    EXPECT_EQ(periods(), (std::vector<std::uint32_t>{120, 120, 120}));
    schedule.set_paused(true, 3);
    EXPECT_FALSE(schedule.next_change());
    for (const MonitorTiming& timing : schedule.timings(3)) EXPECT_FALSE(timing.next_change);
    schedule.set_paused(false, 3);
    EXPECT_TRUE(schedule.next_change());
    EXPECT_EQ(due, 0);
}

}  // namespace
}  // namespace zelvo
