#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/desktop.h"

namespace zelvo {
namespace {

using Argvs = std::vector<std::vector<std::string>>;

Argvs argvs(const std::vector<ToolCall>& calls) {
    Argvs found;
    for (const ToolCall& call : calls) found.push_back(call.argv);
    return found;
}

DesktopTools all_tools() {
    return DesktopTools{"/bin/gsettings", "/bin/dconf", "/bin/xfconf-query", "/bin/pcmanfm-qt",
                        "/bin/plasma-apply-wallpaperimage", "/bin/dbus-send"};
}

TEST(Desktop, TheFirstEntryItKnowsDecides) {
    const std::pair<const char*, std::optional<Desktop>> lists[] = {
        {"ubuntu:GNOME", Desktop::gnome},   {"Budgie:GNOME", Desktop::budgie}, {"X-Cinnamon", Desktop::cinnamon},
        {"MATE", Desktop::mate},            {"XFCE", Desktop::xfce},           {"LXQt", Desktop::lxqt},
        {"KDE", Desktop::plasma},           {"xfce", Desktop::xfce},           {"::kde:", Desktop::plasma},
        {"GNOME-Flashback:GNOME", Desktop::gnome}, {"Unity:MATE:GNOME", Desktop::mate},
        {"", std::nullopt},                 {"sway", std::nullopt},            {"GNOMEX:K DE", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& [list, desktop] : lists) EXPECT_EQ(desktop_of(list), desktop) << (list ? list : "unset");
    EXPECT_STREQ(desktop_name(Desktop::plasma), "KDE Plasma");
    EXPECT_TRUE(desktop_names_monitors(Desktop::xfce));
    EXPECT_FALSE(desktop_names_monitors(Desktop::gnome));
}

TEST(Desktop, EachFehStyleHasTheDesktopsOwnFit) {
    const char* styles[] = {"--bg-fill", "--bg-max", "--bg-scale", "--bg-center", "--bg-tile", "", "--bg-fill "};
    // In the order of styles; the last two are feh's default, --bg-scale.
    const std::pair<Desktop, std::vector<std::string>> fits[] = {
        {Desktop::gnome, {"zoom", "scaled", "stretched", "centered", "wallpaper", "stretched", "stretched"}},
        {Desktop::mate, {"zoom", "scaled", "stretched", "centered", "wallpaper", "stretched", "stretched"}},
        {Desktop::xfce, {"5", "4", "3", "1", "2", "3", "3"}},
        {Desktop::lxqt, {"zoom", "fit", "stretch", "center", "tile", "stretch", "stretch"}},
        {Desktop::plasma, {"2", "1", "0", "6", "3", "0", "0"}},
    };
    for (const auto& [desktop, expected] : fits)
        for (std::size_t index = 0; index < std::size(styles); ++index)
            EXPECT_EQ(desktop_fit(desktop, styles[index]), expected[index]) << desktop_name(desktop) << styles[index];
}

TEST(Desktop, NamesAreWrittenInEachToolsOwnSyntax) {
    const std::string hostile = "/p/it's \"a\"\n-b% \xff\\.png";
    EXPECT_EQ(file_uri(hostile), "file:///p/it%27s%20%22a%22%0A-b%25%20%FF%5C.png");
    EXPECT_EQ(file_uri("/A-z_0.9~/x"), "file:///A-z_0.9~/x");
    EXPECT_EQ(gvariant_text("/p/it's\n\\ é"), "'/p/it\\'s\\u000a\\\\ é'");
    EXPECT_EQ(javascript_text("file:///it's\\\n"), "'file:///it\\'s\\\\\\x0a'");

    const std::pair<const char*, bool> texts[] = {
        {"plain/é/日本/😀", true}, {"\xff", false},        {"\xc3", false},        {"\xc0\xaf", false},
        {"\xed\xa0\x80", false},  {"\xf4\x90\x80\x80", false}, {"\xe0\x80\xaf", false}, {"", true}};
    for (const auto& [text, valid] : texts) EXPECT_EQ(valid_utf8(text), valid) << text;

    DesktopTools apply_only = all_tools();
    apply_only.dbus_send.clear();
    // (name, taken by GNOME, MATE and Xfce, LXQt, plasma-apply-wallpaperimage, Plasma's script)
    const std::tuple<const char*, bool, bool, bool, bool, bool> names[] = {
        {"/p/a b%-c.png", true, true, true, true, true},  {"/p/it's.png", true, true, true, false, true},
        {"/p/new\nline.png", true, true, false, false, true}, {"/p/\xff.png", true, false, false, false, true},
    };
    for (const auto& [name, gnome, mate, lxqt, apply, scripted] : names) {
        EXPECT_EQ(desktop_takes_name(Desktop::cinnamon, all_tools(), name), gnome) << name;
        EXPECT_EQ(desktop_takes_name(Desktop::mate, all_tools(), name), mate) << name;
        EXPECT_EQ(desktop_takes_name(Desktop::xfce, all_tools(), name), mate) << name;
        EXPECT_EQ(desktop_takes_name(Desktop::lxqt, all_tools(), name), lxqt) << name;
        EXPECT_EQ(desktop_takes_name(Desktop::plasma, apply_only, name), apply) << name;
        EXPECT_EQ(desktop_takes_name(Desktop::plasma, all_tools(), name), scripted) << name;
    }
}

TEST(Desktop, EachDesktopsPlanSetsItsOwnKeysThroughTheToolItHas) {
    const std::vector<DesktopPicture> two = {{"/p/it's.png", "HDMI-1", "--bg-fill"}, {"/p/b.png", "DP-1", "--bg-tile"}};
    const std::string uri = "'file:///p/it%27s.png'";
    const std::string gnome = "org.gnome.desktop.background";
    EXPECT_EQ(argvs(desktop_plan(Desktop::budgie, all_tools(), two)),
              (Argvs{{"/bin/gsettings", "set", gnome, "picture-options", "'zoom'"},
                     {"/bin/gsettings", "set", gnome, "picture-uri", uri},
                     {"/bin/gsettings", "set", gnome, "picture-uri-dark", uri}}));
    DesktopTools dconf_only;
    dconf_only.dconf = "/bin/dconf";
    EXPECT_EQ(argvs(desktop_plan(Desktop::gnome, dconf_only, two)),
              (Argvs{{"/bin/dconf", "write", "/org/gnome/desktop/background/picture-options", "'zoom'"},
                     {"/bin/dconf", "write", "/org/gnome/desktop/background/picture-uri", uri},
                     {"/bin/dconf", "write", "/org/gnome/desktop/background/picture-uri-dark", uri}}));
    EXPECT_EQ(argvs(desktop_plan(Desktop::cinnamon, all_tools(), two)),
              (Argvs{{"/bin/gsettings", "set", "org.cinnamon.desktop.background", "picture-options", "'zoom'"},
                     {"/bin/gsettings", "set", "org.cinnamon.desktop.background", "picture-uri", uri}}));
    EXPECT_EQ(argvs(desktop_plan(Desktop::mate, dconf_only, two)),
              (Argvs{{"/bin/dconf", "write", "/org/mate/desktop/background/picture-options", "'zoom'"},
                     {"/bin/dconf", "write", "/org/mate/desktop/background/picture-filename", "'/p/it\\'s.png'"}}));
    EXPECT_EQ(argvs(desktop_plan(Desktop::lxqt, all_tools(), two)),
              (Argvs{{"/bin/pcmanfm-qt", "--profile=lxqt", "--set-wallpaper", "/p/it's.png", "--wallpaper-mode",
                      "zoom"}}));
    DesktopTools apply_only = all_tools();
    apply_only.dbus_send.clear();
    EXPECT_EQ(argvs(desktop_plan(Desktop::plasma, apply_only, two)),
              (Argvs{{"/bin/plasma-apply-wallpaperimage", "/p/it's.png"}}));

    const std::vector<ToolCall> scripted = desktop_plan(Desktop::plasma, all_tools(), two);
    ASSERT_EQ(scripted.size(), 1u);
    const std::vector<std::string>& argv = scripted.front().argv;
    ASSERT_EQ(argv.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.end() - 1),
              (std::vector<std::string>{"/bin/dbus-send", "--session", "--print-reply", "--dest=org.kde.plasmashell",
                                        "/PlasmaShell", "org.kde.PlasmaShell.evaluateScript"}));
    EXPECT_TRUE(argv.back().starts_with("string:var images = ['file:///p/it%27s.png','file:///p/b.png'];\n"
                                        "var fits = [2,3];\n"))
        << argv.back();
    EXPECT_TRUE(scripted.front().repeat_when_failed);

    // Nothing to call with: the caller says so.
    EXPECT_TRUE(desktop_plan(Desktop::gnome, DesktopTools{}, two).empty());
    EXPECT_TRUE(desktop_plan(Desktop::xfce, dconf_only, two).empty());
    EXPECT_TRUE(desktop_plan(Desktop::plasma, dconf_only, two).empty());
}

TEST(Desktop, XfceSetsEveryWorkspaceOfEachNamedMonitorAndMakesTheMissingOnes) {
    const std::vector<ToolCall> listing = desktop_plan(Desktop::xfce, all_tools(), {{"/a.png", "DUMMY0", ""}});
    ASSERT_EQ(argvs(listing), (Argvs{{"/bin/xfconf-query", "-c", "xfce4-desktop", "-l"}}));
    EXPECT_TRUE(listing.front().reads_output);

    const std::string listed = "/backdrop/screen0/monitorDUMMY0/workspace0/color-style\n"
                               "/backdrop/screen0/monitorDUMMY0/workspace0/last-image\n"
                               "/backdrop/screen0/monitorDUMMY0/workspace3/last-image\n"
                               "/backdrop/screen0/monitorVGA-9/workspace0/last-image\n"
                               "/backdrop/screen0/monitorDUMMY0/workspace1/last-imagex\n"
                               "/backdrop/screen0/monitorDUMMY0/x/workspace1/last-image\n"
                               "/backdrop/screenA/monitorDUMMY0/workspace2/last-image\n"
                               "/backdrop/single-workspace-mode";
    const auto set = [](const std::string& workspace, const char* style, const char* file) {
        return Argvs{{"/bin/xfconf-query", "-c", "xfce4-desktop", "-p", workspace + "/image-style", "-n", "-t", "int",
                      "-s", style},
                     {"/bin/xfconf-query", "-c", "xfce4-desktop", "-p", workspace + "/last-image", "-n", "-t", "string",
                      "-s", file}};
    };
    const std::string dummy0 = "/backdrop/screen0/monitorDUMMY0/workspace";
    Argvs expected = set(dummy0 + "0", "5", "/a.png");
    for (const Argvs& more : {set(dummy0 + "3", "5", "/a.png"),
                              set("/backdrop/screen0/monitorDUMMY1/workspace0", "2", "/-b c.png")})
        expected.insert(expected.end(), more.begin(), more.end());
    const std::vector<DesktopPicture> named = {{"/a.png", "DUMMY0", "--bg-fill"}, {"/-b c.png", "DUMMY1", "--bg-tile"}};
    EXPECT_EQ(argvs(xfce_plan(all_tools(), listed, named)), expected);

    // No names known: every monitor xfdesktop has takes the first picture.
    expected = set(dummy0 + "0", "3", "/a.png");
    for (const Argvs& more : {set(dummy0 + "3", "3", "/a.png"), set("/backdrop/screen0/monitorVGA-9/workspace0", "3",
                                                                    "/a.png")})
        expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(argvs(xfce_plan(all_tools(), listed, {{"/a.png", "", ""}, {"/b.png", "", ""}})), expected);
    EXPECT_TRUE(xfce_plan(all_tools(), "", {{"/a.png", "", ""}}).empty());
}

TEST(Desktop, ToolsAreFoundOnTheSearchPathOnly) {
    // /bin/sh is on every system, and no directory named so holds it.
    EXPECT_EQ(program_on_path("::/nonexistent:/bin:", "sh"), "/bin/sh");
    EXPECT_EQ(program_on_path("/nonexistent", "sh"), "");
    EXPECT_EQ(program_on_path(nullptr, "sh"), "");
    EXPECT_EQ(program_on_path("", "sh"), "");
}

}  // namespace
}  // namespace zelvo
