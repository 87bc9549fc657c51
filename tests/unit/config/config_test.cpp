#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "config/run_options.h"
#include "images/expand.h"
#include "support/config_file.h"
#include "support/magick.h"
#include "../temp_folder.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::chrono_literals;

// A private home directory.
struct TempHome : TempFolder {
    TempHome() : TempFolder("zelvo-config") {}
};

// Every node of a list, the home directory shown as "~" and a placeholder as "-".
std::vector<std::string> entries(const StringList& list, const std::string& home) {
    std::vector<std::string> values;
    for (const StringNode* node = list.first(); node != nullptr; node = node->link) {
        std::string value = node->value.value_or("-");
        values.push_back(value.starts_with(home) ? "~" + value.substr(home.size()) : value);
    }
    return values;
}

// Writes the file when a text is given, then loads it with standard error captured.
std::pair<ConfigPtr, std::string> load(const std::string& path, const std::string& home,
                                       const char* text = nullptr,
                                       const std::optional<std::string>& source = std::nullopt) {
    if (text != nullptr) std::ofstream(path) << text;
    testing::internal::CaptureStderr();
    ConfigPtr config = load_config(path, home, source);
    return {std::move(config), testing::internal::GetCapturedStderr()};
}

TEST(LoadConfig, FirstRunWritesTheDefaultFileAndReadsIt) {
    TempHome home;
    auto [config, said] = load(home.at(".zelvo/.zelvorc"), home.path);
    ASSERT_TRUE(config && said.empty()) << said;
    EXPECT_TRUE(fs::is_directory(home.at(".zelvo/images")));
    EXPECT_EQ(std::tie(config->colors, config->dark, config->use_xrdb, config->minutes, config->monitors,
                       config->bg_style), std::make_tuple(0, 1, 0, 30, 1, "--bg-scale"));
    EXPECT_FALSE(config->feh_path || config->xrdb_path || config->xauthority || config->display);
    EXPECT_FALSE(config->monitors_auto || !config->per_monitor.empty());
    EXPECT_EQ(entries(config->sources, home.path), std::vector<std::string>{"~/.zelvo/images"});
    EXPECT_EQ(entries(config->xrdb_args, home.path), (std::vector<std::string>{"--load", "~/.Xresources"}));

    ConfigFile file;
    ASSERT_EQ(config_read_file(file.get(), home.at(".zelvo/.zelvorc").c_str()), CONFIG_TRUE);
    const std::tuple<std::string, int, std::string> expected[] = {
        {"colors", CONFIG_TYPE_BOOL, "0"}, {"dark", CONFIG_TYPE_BOOL, "1"},
        {"minutes", CONFIG_TYPE_INT, "30"}, {"monitors", CONFIG_TYPE_INT, "1"},
        {"source_to_use", CONFIG_TYPE_STRING, "default"},
        {"default", CONFIG_TYPE_ARRAY, home.at(".zelvo/images")}};
    const config_setting_t* root = config_root_setting(file.get());
    ASSERT_EQ(config_setting_length(root), 6);
    for (int index = 0; index < 6; ++index) {
        const auto& [name, type, value] = expected[index];
        const config_setting_t* setting = config_setting_get_elem(root, index);
        EXPECT_EQ(std::make_tuple(config_setting_name(setting), config_setting_type(setting)),
                  std::tie(name, type));
        if (type == CONFIG_TYPE_ARRAY) {
            EXPECT_EQ(config_setting_length(setting), 1);
            setting = config_setting_get_elem(setting, 0);
        }
        const char* text = config_setting_get_string(setting);
        const int number = type == CONFIG_TYPE_BOOL ? config_setting_get_bool(setting)
                                                    : config_setting_get_int(setting);
        EXPECT_EQ(text ? text : std::to_string(number), value) << name;
    }
}

TEST(LoadConfig, ReadsEachSettingOrItsDefault) {
    struct Case { const char* text; std::optional<std::string> source; int colors, dark, minutes;
                  std::vector<std::string> sources, xrdb_args; };
    const std::vector<std::string> images = {"~/.zelvo/images"}, loads = {"--load", "~/.Xresources"};
    const Case cases[] = {
        {"colors = true; minutes = 5;", {}, 1, 0, 5, images, loads},
        {"colors = 1; minutes = \"x\"; dark = true;", {}, 0, 1, 30, images, loads},
        {"source_to_use = \"a\"; a = [\"/x\"]; b = [\"/y\", \"/z\"];", "b", 0, 0, 30, {"/y", "/z"}, loads},
        {"source_to_use = \"a\"; a = [\"/x\"];", "nope", 0, 0, 30, images, loads},
        {"source_to_use = \"a\"; a = (\"/x\", \"/w\");", {}, 0, 0, 30, {"/x", "/w"}, loads},
        {"source_to_use = \"g.s\"; g = { s = [\"/q\"]; };", {}, 0, 0, 30, {"/q"}, loads},
        {"default = [];", {}, 0, 0, 30, {"-"}, loads},
        {"default = (\"/x\", 3, \"/y\");", {}, 0, 0, 30, {"/x", "/y"}, loads},
        {"xrdb-args = [\"-merge\"];", {}, 0, 0, 30, images, {"-merge", "~/.Xresources"}},
        {"xrdb-args = [];", {}, 0, 0, 30, images, {"~/.Xresources"}},
        {"xresources = \"/r\";", {}, 0, 0, 30, images, {"--load", "/r"}},
        {"xrdb-args = (\"-merge\", 1, \"-quiet\"); xresources = \"/r\";", {}, 0, 0, 30, images,
         {"-merge", "-quiet", "/r"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text);
        TempHome home;
        fs::create_directory(home.at(".zelvo"));
        auto [config, said] = load(home.at(".zelvo/.zelvorc"), home.path, row.text, row.source);
        ASSERT_TRUE(config) << said;
        EXPECT_EQ(std::tie(config->colors, config->dark, config->minutes),
                  std::tie(row.colors, row.dark, row.minutes));
        EXPECT_EQ(entries(config->sources, home.path), row.sources);
        EXPECT_EQ(entries(config->xrdb_args, home.path), row.xrdb_args);
    }
    TempHome home;
    auto [config, said] = load(home.at("rc"), home.path,
                               "bg-style = \"--bg-fill\"; feh-path = \"/f\"; xrdb-path = \"/x\"; XAUTHORITY = "
                               "\"/a\"; DISPLAY = \":3\"; monitors = 2; use-xrdb = true;");
    ASSERT_TRUE(config) << said;
    EXPECT_EQ(std::tie(config->bg_style, *config->feh_path, *config->xrdb_path, *config->xauthority,
                       *config->display, config->monitors, config->use_xrdb),
              std::make_tuple("--bg-fill", "/f", "/x", "/a", ":3", 2, 1));
}

TEST(LoadConfig, ReadsTheKeysThatPublishAChange) {
    TempHome home;
    auto [config, said] = load(home.at("rc"), home.path,
                               "hook = (\"notify\", 1, \"-a\"); exports = (\"sh\", \"yaml\", 2, \"sequences\"); terminals = true;");
    ASSERT_TRUE(config) << said;
    EXPECT_EQ(entries(config->hook, home.path), (std::vector<std::string>{"notify", "-a"}));
    EXPECT_EQ(std::make_tuple(config->exports.json, config->exports.shell, config->exports.sequences, config->terminals),
              std::make_tuple(false, true, true, 1));
    // Of another type, each is missing: no hook, no export, no terminal.
    auto [other, quiet] = load(home.at("rc"), home.path, "hook = \"notify\"; exports = \"json\"; terminals = 1;");
    ASSERT_TRUE(other) << quiet;
    EXPECT_EQ(std::make_tuple(other->hook.empty(), other->exports.json, other->terminals), std::make_tuple(true, false, 0));
}

TEST(LoadConfig, ReadsTheColoursForOtherProgramsTheViewerAndTheMonitorsCount) {
    // Each case names what differs from the defaults; a path starting "HOME" lies in the home directory.
    struct Case {
        const char* text;
        std::optional<std::string> templates = {};
        int alpha = 100;
        bool cache = false;
        std::optional<double> contrast = {};
        ViewerKind viewer = ViewerKind::feh;
        std::optional<std::string> swaybg_path = {};
        int monitors = 1;
        bool automatic = false, counted = false;
    };
    const Case cases[] = {
        {.text = ""},
        {.text = "templates = \"~/.config/wal/templates\"; alpha = 90; cache = true; contrast = 4.5;",
         .templates = "HOME/.config/wal/templates", .alpha = 90, .cache = true, .contrast = 4.5},
        {.text = "templates = \"/t\"; alpha = 150; contrast = 7;", .templates = "/t", .contrast = 7.0},
        {.text = "templates = \"\"; alpha = -3; cache = 1; contrast = \"4.5\";", .alpha = 0},
        // The swaybg path takes "~/" as the home directory; "monitors" counts when it holds a number.
        {.text = "viewer = \"swaybg\"; swaybg-path = \"/opt/swaybg\"; monitors = 2;", .viewer = ViewerKind::swaybg,
         .swaybg_path = "/opt/swaybg", .monitors = 2, .counted = true},
        {.text = "viewer = \"feh\"; swaybg-path = \"swaybg\"; monitors = \"auto\";", .swaybg_path = "swaybg", .automatic = true},
        {.text = "viewer = \"swaybg\"; swaybg-path = \"~/bin/swaybg\";", .viewer = ViewerKind::swaybg, .swaybg_path = "HOME/bin/swaybg"},
        // A name of no viewer, or a value of another type, is the default.
        {.text = "viewer = \"Swaybg\"; swaybg-path = 1; monitors = 1;", .counted = true},
        {.text = "viewer = [\"swaybg\"]; swaybg-path = [\"/s\"]; monitors = 1.5;"},
        {.text = "monitors = \"Auto\";"},
        {.text = "monitors = [\"auto\"];"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text);
        TempHome home;
        fs::create_directory(home.at(".zelvo"));
        auto [config, said] = load(home.at(".zelvo/.zelvorc"), home.path, row.text);
        ASSERT_TRUE(config && said.empty()) << said;
        const auto at_home = [&](std::optional<std::string> path) {
            return path && path->starts_with("HOME") ? home.path + path->substr(4) : path;
        };
        EXPECT_EQ(std::tie(config->templates, config->alpha, config->contrast),
                  std::make_tuple(at_home(row.templates), row.alpha, row.contrast));
        EXPECT_EQ(config->cache, row.cache ? std::optional(home.at(".zelvo/cache")) : std::nullopt);
        EXPECT_EQ(std::tie(config->viewer, config->swaybg_path, config->monitors, config->monitors_auto,
                           config->monitors_counted),
                  std::make_tuple(row.viewer, at_home(row.swaybg_path), row.monitors, row.automatic, row.counted));
        // Start-up reads the viewer before anything is created, as it reads "DISPLAY".
        EXPECT_EQ(config_session_keys(home.at(".zelvo/.zelvorc")).viewer, row.viewer);
    }
    EXPECT_EQ(config_session_keys("/nonexistent/zelvorc").viewer, ViewerKind::feh);
}

TEST(LoadConfig, PathsFromTheHomeDirectoryAndTheKeysOfTheRing) {
    TempHome home;
    auto [config, said] = load(home.at("rc"), home.path,
                               "feh-path = \"~/bin/feh\"; xrdb-path = \"~xrdb\"; XAUTHORITY = \"~/.Xauthority\";"
                               "xresources = \"~/.Xresources.d/x\"; hook = (\"~/hook\", \"~/argument\");"
                               "default = (\"~/Pictures\", \"~\", \"/~/\", \"~/\"); rescan = 15; order = \"name\";");
    ASSERT_TRUE(config) << said;
    EXPECT_EQ(std::make_tuple(*config->feh_path, *config->xrdb_path, *config->xauthority),
              std::make_tuple(home.at("bin/feh"), "~xrdb"s, home.at(".Xauthority")));
    EXPECT_EQ(entries(config->xrdb_args, home.path), (std::vector<std::string>{"--load", "~/.Xresources.d/x"}));
    // A hook's arguments are its own words; only its program is a path.
    EXPECT_EQ(entries(config->hook, home.path), (std::vector<std::string>{"~/hook", "~/argument"}));
    EXPECT_EQ(*config->hook.first()->link->value, "~/argument");
    EXPECT_EQ(entries(config->sources, home.path), (std::vector<std::string>{"~/Pictures", "~", "/~/", "~/"}));
    EXPECT_EQ(*config->sources.first()->link->value, "~");
    EXPECT_EQ(std::make_tuple(config->rescan, config->by_name), std::make_tuple(15, true));
    auto [other, quiet] = load(home.at("rc"), home.path, "rescan = \"5\"; order = \"names\";");
    ASSERT_TRUE(other) << quiet;
    EXPECT_EQ(std::make_tuple(other->rescan, other->by_name), std::make_tuple(0, false));
}

TEST(LoadConfig, ReadsTheMonitorsOwnSettings) {
    // One group of each kind: full, empty, of another type, with parts of
    // other types, with an empty source list; each keeps its place.
    TempHome home;
    auto [config, said] = load(home.at("rc"), home.path,
                               "per-monitor = ({ sources = [\"/w\", \"~/v\"]; minutes = 10; bg-style = \"--bg-fill\"; },"
                               " {}, \"/x\", { sources = \"/y\"; minutes = \"5\"; bg-style = 2; },"
                               " { sources = (); minutes = 60; });");
    ASSERT_TRUE(config) << said;
    struct Group { std::vector<std::string> sources; std::optional<int> minutes; std::optional<std::string> style; };
    // A group's sources take "~/" as the home directory, as the main ones do.
    const Group expected[] = {{{"/w", "~/v"}, 10, "--bg-fill"}, {}, {}, {}, {{"-"}, 60, std::nullopt}};
    ASSERT_EQ(config->per_monitor.size(), std::size(expected));
    EXPECT_EQ(config->per_monitor[0].sources.first()->link->value, home.path + "/v");
    for (std::size_t index = 0; index < std::size(expected); ++index) {
        const MonitorGroup& group = config->per_monitor[index];
        EXPECT_EQ(std::tie(group.minutes, group.bg_style), std::tie(expected[index].minutes, expected[index].style));
        EXPECT_EQ(entries(group.sources, home.path), expected[index].sources) << index;
    }

    // Not a list: no group at all. More groups than any display has monitors: the first 64.
    std::string many = "per-monitor = (";
    for (int index = 0; index < 100; ++index) many += "{ minutes = " + std::to_string(index + 1) + "; },";
    many.back() = ')';
    for (auto [text, groups] : {std::pair{std::string("per-monitor = { minutes = 3; };"), std::size_t{0}},
                                {many + ";", most_monitor_groups}}) {
        std::tie(config, said) = load(home.at("rc"), home.path, text.c_str());
        ASSERT_TRUE(config) << said;
        ASSERT_EQ(config->per_monitor.size(), groups);
        if (groups > 0) {
            EXPECT_EQ(config->per_monitor.back().minutes, static_cast<int>(groups));
        }
    }
}

// The transition keys with viewer = "zelvo": each usable value taken, each
// other one said in one line and left for the default; a group's keys lie
// over the main ones. With another viewer, one line for each key given.
TEST(LoadConfig, ReadsTheTransitionKeysOrSaysWhyNot) {
    using Points = std::array<double, 4>;
    const std::string zelvo = "viewer = \"zelvo\";";
    const auto refused = [](const std::string& key, const std::string& value, const std::string& takes) {
        return "Zelvo ignores " + key + " = " + value + ": it takes " + takes + "\r\n";
    };
    const std::string kinds = "\"none\", \"fade\", \"wipe\", \"grow\" or \"random\"",
                      times = "a whole number of milliseconds from 0 to 60000", angles = "degrees from -360 to 360",
                      fps = "a whole number of frames a second from 1 to 240",
                      positions = "\"center\" or \"x,y\", fractions of the monitor from 0 to 1",
                      easings = "\"linear\", \"ease\", \"ease-in\", \"ease-out\", \"ease-in-out\" or four numbers x1, y1, "
                                "x2, y2, x from 0 to 1 and y from -1 to 2";
    struct Case {
        std::string text;
        TransitionKeys keys;
        std::string said;
        TransitionKeys group = {};  // the last group's
    };
    const Case cases[] = {
        {zelvo, {}, ""},
        {zelvo + "transition = \"wipe\"; transition-time = 0; transition-fps = 240; transition-angle = -360;"
                 "transition-position = \" 0.25 , 1 \"; transition-easing = \"ease-in-out\";",
         {TransitionStyle::wipe, 0ms, 240, -360.0, ShapePoint{0.25, 1}, Points{0.42, 0, 0.58, 1}}, ""},
        {zelvo + "transition = \"random\"; transition-time = 60000; transition-fps = 1; transition-angle = 22.5;"
                 "transition-position = \"center\"; transition-easing = (0, -1, 1, 2);",
         {TransitionStyle::random, 60000ms, 1, 22.5, ShapePoint{0.5, 0.5}, Points{0, -1, 1, 2}}, ""},
        {zelvo + "transition = \"grow\"; transition-easing = [0.1, 0.2, 0.3, 0.4]; transition-position = \"0,0\";",
         {.style = TransitionStyle::grow, .position = ShapePoint{0, 0}, .easing = Points{0.1, 0.2, 0.3, 0.4}}, ""},
        // Out of range, of another type, not a number, not a name: one line each, the key not taken.
        {zelvo + "transition = \"Fade\"; transition-time = -5; transition-fps = 500; transition-angle = 1e9;"
                 "transition-position = \"1.5,0.5\"; transition-easing = \"bounce\";", {},
         refused("transition", "\"Fade\"", kinds) + refused("transition-time", "-5", times) +
             refused("transition-fps", "500", fps) + refused("transition-angle", "1e+09", angles) +
             refused("transition-position", "\"1.5,0.5\"", positions) + refused("transition-easing", "\"bounce\"", easings)},
        {zelvo + "transition = 1; transition-time = 1000.0; transition-fps = \"30\"; transition-angle = \"90\";"
                 "transition-position = [0.5, 0.5]; transition-easing = (1.5, 0, 1, 1);", {},
         refused("transition", "1", kinds) + refused("transition-time", "1000", times) +
             refused("transition-fps", "\"30\"", fps) + refused("transition-angle", "\"90\"", angles) +
             refused("transition-position", "a list", positions) + refused("transition-easing", "a list", easings)},
        {zelvo + "transition-time = 99999999999; transition-fps = 0; transition-position = \"0.5\";"
                 "transition-easing = (0, 0, 1); transition = true;", {},
         refused("transition", "true", kinds) + refused("transition-time", "1215752191", times) +
             refused("transition-fps", "0", fps) + refused("transition-position", "\"0.5\"", positions) +
             refused("transition-easing", "a list", easings)},
        {zelvo + "transition-position = \"0.5,0.5,0.5\"; transition-easing = (0, 3, 1, 1); transition = {};", {},
         refused("transition", "a group", kinds) + refused("transition-position", "\"0.5,0.5,0.5\"", positions) +
             refused("transition-easing", "a list", easings)},
        // A group's bad value names its monitor; its good ones stay its own.
        {zelvo + "transition-fps = 50; per-monitor = ({}, { transition = \"fade\"; transition-fps = -1; });",
         {.fps = 50}, refused("transition-fps", "-1 for monitor 2", fps), {.style = TransitionStyle::fade}},
        // Any other viewer: every key given, main or a group's, ignored in one line.
        {"transition = \"fade\"; transition-time = 5; per-monitor = ({ transition-angle = 3; });", {},
         "Zelvo ignores transition: only viewer = \"zelvo\" draws transitions\r\n"
         "Zelvo ignores transition-time: only viewer = \"zelvo\" draws transitions\r\n"
         "Zelvo ignores transition-angle for monitor 1: only viewer = \"zelvo\" draws transitions\r\n"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text);
        TempHome home;
        auto [config, said] = load(home.at("rc"), home.path, row.text.c_str());
        ASSERT_TRUE(config);
        EXPECT_EQ(said, row.said);
        EXPECT_EQ(config->transition, row.keys);
        EXPECT_EQ(config->per_monitor.empty() ? TransitionKeys{} : config->per_monitor.back().transition, row.group);
    }
}

TEST(LoadConfig, ConfigurationPathElsewhere) {
    TempHome existing;  // an existing file does not make the per-user directory
    auto [config, said] = load(existing.at("rc"), existing.path, "minutes = 4;");
    ASSERT_TRUE(config) << said;
    EXPECT_EQ(config->minutes, 4);
    EXPECT_FALSE(fs::exists(existing.at(".zelvo")));

    TempHome missing;  // a missing file is written where it was named
    fs::create_directory(missing.at("etc"));
    std::tie(config, said) = load(missing.at("etc/rc"), missing.path);
    ASSERT_TRUE(config) << said;
    EXPECT_TRUE(fs::is_directory(missing.at(".zelvo/images")));
    EXPECT_FALSE(fs::exists(missing.at(".zelvo/.zelvorc")));
    EXPECT_NE(read_file(missing.at("etc/rc")).find("\"" + missing.at(".zelvo/images") + "\""),
              std::string::npos);

    std::tie(config, said) = load(missing.at("nowhere/rc"), missing.path);
    EXPECT_FALSE(config);
    EXPECT_NE(said.find(missing.at("nowhere/rc")), std::string::npos) << said;
}

TEST(LoadConfig, UnusableFileIsReportedInOneLineAndLeftAlone) {
    TempHome home;
    const std::string text = "colors = true;\nminutes = ;\n";
    fs::create_directory(home.at("dir"));  // exists but cannot be read as a file, even by root
    for (auto [path, reason] : {std::pair{home.at("rc"), home.at("rc") + ": line 2: syntax error"},
                                {home.at("dir"), home.at("dir")}}) {
        auto [config, said] = load(path, home.path, path == home.at("rc") ? text.c_str() : nullptr);
        EXPECT_FALSE(config);
        EXPECT_TRUE(said.find(reason) != std::string::npos && said.find("\r\n") == said.size() - 2) << said;
    }
    EXPECT_EQ(read_file(home.at("rc")), text);
    EXPECT_TRUE(fs::is_directory(home.at("dir")));
}

class ReloadConfig : public testing::Test {
protected:
    static void SetUpTestSuite() { magick_start("zelvo_unit_tests"); }
    void SetUp() override {
        fs::create_directories(home.at("pics"));
        fs::create_directory(home.at("none"));
        for (const char* name : {"a.png", "b.png"})
            ASSERT_EQ(std::system(("convert -size 4x4 xc:red " + home.at("pics/") + name).c_str()), 0);
        options.home = home.path;
        options.config_path = home.at("rc");
        options.xauthority = "/env/xauth";
        options.display = ":0";
        ASSERT_EQ(reload("minutes = 5;"), "");
        ASSERT_TRUE(options.config && options.ring.node());
    }
    // A reload as the daemon makes it: the file loaded anew, its sources
    // expanded, and only a usable Config with images put in force.
    std::string reload(const std::string& text, const std::string& source = "pics") {
        std::ofstream(options.config_path) << "default = [\"" + home.at(source) + "\"];" + text;
        testing::internal::CaptureStderr();
        ConfigPtr config = load_config(options.config_path, options.home, options.source);
        StringList images = config ? expand_sources(config->sources.first()) : StringList();
        if (!images.empty()) reload_config(options, std::move(config), std::move(images));
        return testing::internal::GetCapturedStderr();
    }
    // The minutes in force and the display values, absent ones shown as "-".
    std::tuple<int, std::string, std::string> state() const {
        return {options.config->minutes, options.xauthority.value_or("-"), options.display.value_or("-")};
    }
    std::set<std::string> ring_images() const {
        std::set<std::string> images;
        const StringNode* node = options.ring.node();
        for (std::size_t left = ring_count(node); left > 0; --left, node = node->link)
            images.insert(*node->value);
        return images;
    }
    TempHome home;
    RunOptions options;
};

TEST_F(ReloadConfig, ReplacesOnlyWithAUsableConfig) {
    const std::set<std::string> images = {fs::canonical(home.at("pics/a.png")),
                                          fs::canonical(home.at("pics/b.png"))};
    EXPECT_EQ(ring_images(), images);
    EXPECT_EQ(state(), std::make_tuple(5, "/env/xauth", ":0"));
    const StringNode* old_ring = options.ring.node();
    EXPECT_EQ(reload("minutes = 7; XAUTHORITY = \"/f/xauth\"; DISPLAY = \":9\";"), "");
    EXPECT_NE(options.ring.node(), old_ring);
    EXPECT_EQ(ring_images(), images);
    EXPECT_EQ(state(), std::make_tuple(7, "/f/xauth", ":9"));
    EXPECT_EQ(reload(""), "");  // settings taken out of the file leave the display values as they were
    EXPECT_EQ(state(), std::make_tuple(30, "/f/xauth", ":9"));

    // A file that cannot be parsed (which load_config says), or sources
    // without an image, leave everything in force.
    const Config* config = options.config.get();
    const StringNode* ring = options.ring.node();
    for (auto [text, source] : {std::pair{"minutes = ;", "pics"}, {"minutes = 8; DISPLAY = \":5\";", "none"}}) {
        std::string said = reload(text, source);
        EXPECT_EQ(said.find(options.config_path) != std::string::npos, std::string(source) == "pics") << said;
        EXPECT_EQ(std::tie(config, ring), std::make_tuple(options.config.get(), options.ring.node()));
        EXPECT_EQ(state(), std::make_tuple(30, "/f/xauth", ":9"));
        EXPECT_EQ(ring_count(ring), 2u);
    }
}

}  // namespace
}  // namespace zelvo
