#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cycle/cycle.h"
#include "cycle/launch.h"

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

TEST(ViewerArgv, BorrowsTheRingsStringsAndWrapsAroundAShortRing) {
    ImageRing ring = make_ring({"/a.png", "/b.png", "/c.png"});
    StringNode* b = ring.node()->link;
    ViewerArgv argv = build_viewer_argv("--bg-fill --no-xinerama", b, 2);
    ASSERT_EQ(argv.count(), 6u);
    EXPECT_EQ(texts(argv.entries(), 6),
              (std::vector<std::string>{"zelvo-feh", "--bg-fill --no-xinerama", "--no-fehbg", "/b.png", "/c.png"}));
    EXPECT_EQ(argv[3], b->value->data());  // borrowed, not copied
    // Five monitors on three images: the slots wrap round the ring.
    ViewerArgv wide = build_viewer_argv("--bg-scale", b, 5);
    EXPECT_EQ(texts(wide.entries(), wide.count()),
              (std::vector<std::string>{"zelvo-feh", "--bg-scale", "--no-fehbg", "/b.png", "/c.png", "/a.png",
                                        "/b.png", "/c.png"}));
    ImageRing lone = make_ring({"/only.jpg"});
    ViewerArgv three = build_viewer_argv("--bg-scale", lone.node(), 3);
    EXPECT_EQ(three.count(), 7u);
    EXPECT_EQ(texts(three.entries(), 7).back(), "/only.jpg");
    EXPECT_EQ(three[3], three[5]);
}

TEST(ViewerArgv, RefillRewritesOnlyTheImageSlotsInPlace) {
    ImageRing ring = make_ring({"/a", "/b", "/c"});
    StringNode* a = ring.node();
    ViewerArgv argv = build_viewer_argv("--bg-max", a, 2);
    const std::vector<char*> before(argv.entries(), argv.entries() + argv.count());
    refill_image_slots(argv, a->link->link, argv.count());
    EXPECT_EQ(texts(argv.entries(), argv.count()),
              (std::vector<std::string>{"zelvo-feh", "--bg-max", "--no-fehbg", "/c", "/a"}));
    for (std::size_t fixed = 0; fixed < 3; ++fixed) EXPECT_EQ(argv[fixed], before[fixed]);
    // A count below 5 names no image slot; the vector stays as it is.
    ViewerArgv one = build_viewer_argv("--bg-max", a, 1);
    refill_image_slots(one, a->link, 4);
    EXPECT_STREQ(one[3], "/a");
    refill_image_slots(one, a->link, one.count());
    EXPECT_STREQ(one[3], "/b");
    EXPECT_EQ(one[4], nullptr);
    // A moved vector keeps valid entries; a released one has none.
    ViewerArgv moved = std::move(argv);
    EXPECT_STREQ(moved[1], "--bg-max");
    release_viewer_argv(moved);
    release_viewer_argv(moved);
    EXPECT_EQ(moved.count(), 0u);
    EXPECT_EQ(moved.entries(), nullptr);
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
        EXPECT_EQ(monitor_count(options), test.monitors) << test.option << " " << test.file;
        EXPECT_EQ(interval_seconds(options), test.seconds) << test.option << " " << test.file;
    }
}

TEST(Settings, WithSwaybgTheCountIsTheOutputsUnlessANumberSaysOtherwise) {
    RunOptions options;
    options.config = ConfigPtr(new Config);
    options.display_monitors = 3;
    struct Case {
        Viewer viewer;
        int option;
        bool counted;
        int file;
        std::int32_t monitors;
    } cases[] = {{Viewer::swaybg, 0, false, 1, 3}, {Viewer::swaybg, 0, true, 2, 2}, {Viewer::swaybg, 0, true, 1, 1},
                 {Viewer::swaybg, 2, false, 1, 2}, {Viewer::swaybg, 0, true, 0, 1},
                 // feh keeps its number when the display has other counts.
                 {Viewer::feh, 0, false, 1, 1}};
    for (const Case& test : cases) {
        options.config->viewer = test.viewer;
        options.monitors = test.option;
        options.config->monitors_counted = test.counted;
        options.config->monitors = test.file;
        EXPECT_EQ(monitor_count(options), test.monitors)
            << (test.viewer == Viewer::feh ? "feh " : "swaybg ") << test.option << " " << test.counted << " " << test.file;
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

}  // namespace
}  // namespace zelvo
