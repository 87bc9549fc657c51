#include <gtest/gtest.h>

#include <variant>

#include "colour/templates.h"

namespace zelvo {
namespace {

// A palette as a change writes it: computed entries in lower case, c1 as
// MagickCore wrote it.
const Palette palette = {"#1d2021", "#CC241D", "#98971a", "#d79921", "#458588", "#b16286", "#689d6a", "#a89984",
                         "#928374", "#fb4934", "#b8bb26", "#fabd2f", "#83a598", "#d3869b", "#8ec07c", "#ebdbb2"};

std::string rendered(std::string_view text, int alpha = 90) {
    std::variant<std::string, TemplateFault> result =
        template_render(text, TemplateValues{palette, "/home/u/walls/sea shore.jpg", alpha});
    if (const TemplateFault* fault = std::get_if<TemplateFault>(&result))
        return "fault at line " + std::to_string(fault->line) + ": " + fault->what;
    return std::get<std::string>(result);
}

// Templates as users of pywal keep them for their programs, each against
// the text worked out by hand from the palette above, alpha 90: lighten
// moves each channel (255 - c) * p / 100 toward white, darken scales it by
// 1 - p / 100, saturate sets the HLS saturation, every result truncated.
TEST(Templates, RealWorldTemplatesRenderAsPywalWouldRenderThem) {
    const std::pair<const char*, const char*> cases[] = {
        // kitty: colors-kitty.conf
        {"foreground {foreground}\nbackground {background}\nbackground_opacity {background.alpha_dec}\n"
         "cursor {cursor}\ncolor0 {color0}\ncolor1 {color1}\ncolor8 {color8}\ncolor15 {color15}\n",
         "foreground #ebdbb2\nbackground #1d2021\nbackground_opacity 0.9\n"
         "cursor #ebdbb2\ncolor0 #1d2021\ncolor1 #CC241D\ncolor8 #928374\ncolor15 #ebdbb2\n"},
        // rofi: colors-rofi-dark.rasi, braces doubled
        {"* {{\n    background: {background.rgba};\n    foreground: {foreground};\n"
         "    selected-normal-background: {color2.lighten(20).strip};\n}}\n",
         "* {\n    background: rgba(29,32,33,0.9);\n    foreground: #ebdbb2;\n"
         "    selected-normal-background: acab47;\n}\n"},
        // dunst: dunstrc
        {"[urgency_low]\n    background = \"{background}\"\n    foreground = \"{foreground}\"\n"
         "    frame_color = \"#{color2.darken(25)}\"\n[urgency_critical]\n    background = \"{color1}\"\n",
         "[urgency_low]\n    background = \"#1d2021\"\n    foreground = \"#ebdbb2\"\n"
         "    frame_color = \"#727113\"\n[urgency_critical]\n    background = \"#CC241D\"\n"},
        // X resources, with the alpha prefix of URxvt
        {"URxvt*background: {background.alpha}\n*.color1: {color1}\nURxvt*depth: 32 ! {alpha}\n",
         "URxvt*background: [90]#1d2021\n*.color1: #CC241D\nURxvt*depth: 32 ! 90\n"},
        // i3 and sway
        {"set $wallpaper {wallpaper}\nclient.focused {color4} {color4} {foreground} {color4.lighten(20)}\n",
         "set $wallpaper /home/u/walls/sea shore.jpg\nclient.focused #458588 #458588 #ebdbb2 6a9d9f\n"},
        // GTK and web CSS
        {":root {{ --accent: #{color4.saturate(100)}; --dim: {color8.saturate(50).rgb}; }}",
         ":root { --accent: #00c3cd; --dim: 193,130,68; }"},
        // dwm and st headers
        {"static const char *colors[] = {{ \"{color0}\", \"{color1.strip}\" }};",
         "static const char *colors[] = { \"#1d2021\", \"CC241D\" };"},
        // zathura and alacritty, a few channels each
        {"set recolor-darkcolor \"{foreground}\"\nred = {color15.red}\ngreen = {color15.green}\nblue = {color15.blue}\n",
         "set recolor-darkcolor \"#ebdbb2\"\nred = 0.922\ngreen = 0.859\nblue = 0.698\n"},
        // The rest of the properties, a chain of methods, and lone braces.
        {"{color4.xrgba} {color1.decimal} {color1.decimal_strip} {color6.octal} {color6.octal_strip}",
         "45/85/88/ff #13378589 13378589 #32116552 32116552"},
        {"{color1.lighten(10).darken(10).rgb} {color0.lighten(12.5)} {color15.darken(100)} {color0.lighten(100)}",
         "188,51,45 393b3c 000000 ffffff"},
        {"{color1.saturate(0)} {color3.saturate(80).red} {color5.darken(40).octal} {color15.lighten(50).decimal}",
         "747474 0.875 #32435120 #16117208"},
        {"a } b }} {{ {{}} c", "a } b } { {} c"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(rendered(text), expected) << text;

    // alpha / 100 as Python prints a float.
    const std::pair<int, const char*> fractions[] = {{100, "1.0"}, {90, "0.9"}, {75, "0.75"}, {5, "0.05"}, {0, "0.0"}};
    for (const auto& [alpha, text] : fractions)
        EXPECT_EQ(rendered("{color1.alpha_dec}|{color1.rgba}", alpha), text + std::string("|rgba(204,36,29,") + text + ")");
}

TEST(Templates, AFaultNamesItsLineAndStopsTheTemplate) {
    const std::pair<const char*, const char*> cases[] = {
        {"ok\n{color99}\n", "fault at line 2: unknown name \"color99\""},
        {"{color1.nosuch}", "fault at line 1: unknown property \"nosuch\""},
        {"a\nb {color1\n{color2}", "fault at line 2: unclosed brace"},
        {"{color1", "fault at line 1: unclosed brace"},
        {"{}", "fault at line 1: unknown name \"\""},
        {"{color01} {color16}", "fault at line 1: unknown name \"color01\""},
        {"{color1:>9}", "fault at line 1: unknown name \"color1:>9\""},
        {"{wallpaper.strip}", "fault at line 1: unknown property \"strip\""},
        {"{color1.strip.rgb}", "fault at line 1: unknown property \"strip.rgb\""},
        {"{color1.blend(3)}", "fault at line 1: unknown method \"blend\""},
        {"{color1.lighten(x)}", "fault at line 1: \"lighten\" takes a number from 0 to 100, not \"x\""},
        {"{color1.darken(101)}", "fault at line 1: \"darken\" takes a number from 0 to 100, not \"101\""},
        {"{color1.lighten(3}", "fault at line 1: unclosed parenthesis after \"lighten\""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(rendered(text), expected) << text;

    // A template of at most 1 MiB renders to at most 2 MiB.
    std::string wide;
    while (wide.size() < most_template_bytes - 11) wide += "{wallpaper}";
    EXPECT_EQ(rendered(wide).substr(0, 30), "fault at line 1: it renders to");
}

}  // namespace
}  // namespace zelvo
