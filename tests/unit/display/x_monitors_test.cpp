#include <gtest/gtest.h>

#include <cstdlib>

#include "display/monitor_source.h"
#include "display/x_monitors.h"

namespace zelvo {
namespace {

TEST(MonitorsInFehOrder, HeadsInTheirOrderNamedByPlaceElseRandrElseTheScreen) {
    const Monitor left{"", 0, 0, 400, 300}, right{"", 400, 0, 400, 300};
    const std::vector<Monitor> named = {{"H1", 400, 0, 400, 300}, {"H0", 0, 0, 400, 300}, {"twin", 400, 0, 400, 300}};
    struct Case { std::vector<Monitor> heads, randr, expected; };
    const Case cases[] = {
        // Xinerama's order wins over RandR's; two heads on one place take one name each.
        {{right, left, right}, named,
         {{"H1", 400, 0, 400, 300}, {"H0", 0, 0, 400, 300}, {"twin", 400, 0, 400, 300}}},
        {{left, {"", 0, 0, 1200, 300}}, named, {{"H0", 0, 0, 400, 300}, {"", 0, 0, 1200, 300}}},
        {{}, named, named},
        {{}, {}, {{"", 0, 0, 1200, 300}}},
    };
    for (const Case& row : cases) EXPECT_EQ(monitors_in_feh_order(row.heads, row.randr, 1200, 300), row.expected);
}

// A monitor that stays is known by its name wherever it moves in the list;
// an unnamed one by its place; a new one is none of the old.
TEST(MonitorsMatched, ByNameElseUnnamedByPlace) {
    const Monitor h0{"H0", 0, 0, 400, 300}, h1{"H1", 400, 0, 400, 300}, h2{"H2", 800, 0, 400, 300};
    const Monitor whole{"", 0, 0, 1200, 300};
    using Matched = std::vector<std::optional<std::size_t>>;
    EXPECT_EQ(monitors_matched({h0, h1}, {h0, h1, h2}), (Matched{0, 1, std::nullopt}));
    EXPECT_EQ(monitors_matched({h0, h1, h2}, {h2, h0}), (Matched{2, 0}));
    EXPECT_EQ(monitors_matched({whole}, {whole}), (Matched{0}));
    EXPECT_EQ(monitors_matched({h0, whole}, {whole, h0}), (Matched{std::nullopt, 0}));
    EXPECT_EQ(monitors_matched({}, {h0}), (Matched{std::nullopt}));
    // No display answers with two of one name: the second is new.
    EXPECT_EQ(monitors_matched({h0}, {h0, h0}), (Matched{0, std::nullopt}));
}

// The X authority file given is the one libxcb reads; the environment that
// xrdb inherits is left as it was, set or not.
TEST(XMonitors, NoDisplayMeansNoMonitorsAndNoDescriptor) {
    XMonitors display;
    for (const char* environment : {"/env/xauthority", static_cast<const char*>(nullptr)}) {
        if (environment != nullptr) setenv("XAUTHORITY", environment, 1);
        else unsetenv("XAUTHORITY");
        EXPECT_FALSE(display.connect(":99999", "/given/xauthority"));
        const char* after = std::getenv("XAUTHORITY");
        EXPECT_EQ(after ? std::optional<std::string>(after) : std::nullopt,
                  environment ? std::optional<std::string>(environment) : std::nullopt);
    }
    for (const char* name : {"no display name", ":99999", ""}) {
        EXPECT_FALSE(display.connect(name, std::nullopt)) << name;
        EXPECT_FALSE(display.failure().empty());
        EXPECT_EQ(std::make_tuple(display.connected(), display.descriptor(), display.monitors().size(),
                                  display.take_events()),
                  std::make_tuple(false, -1, std::size_t{0}, false));
    }
}

}  // namespace
}  // namespace zelvo
