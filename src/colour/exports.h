#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "colour/colour_file.h"

namespace zelvo {

// The entries a terminal takes for its background, foreground and cursor.
// One choice suits both shapings: the dark one keeps the image's first colour
// as c0 and leans c15 toward #eeeeee, the light one makes c0 the first colour
// lightened 85% and c15 that colour itself, so c0 lies behind c15 either way.
// The X resources example makes the same choice.
inline constexpr std::size_t background_entry = 0;
inline constexpr std::size_t foreground_entry = 15;
inline constexpr std::size_t cursor_entry = 15;

// colors.json, in the layout that tools written for pywal read: "wallpaper",
// "alpha", "special" (background, foreground, cursor) and "colors" (color0
// to color15). The wallpaper's name is written as a JSON string, every byte
// that is not part of valid UTF-8 as U+FFFD, so that any strict parser takes
// the file.
std::string colours_json(const Palette& palette, std::string_view wallpaper);

// The text as a JSON string, quotes included: every byte that is not part
// of valid UTF-8 as U+FFFD, and every control character escaped.
std::string json_string(std::string_view text);

// colors.sh: the same values as shell assignments (wallpaper, background,
// foreground, cursor, color0 to color15), each single-quoted, so that
// sourcing the file runs nothing and gives every byte of the name.
std::string colours_shell(const Palette& palette, std::string_view wallpaper);

// The escape sequences that give a terminal the palette: OSC 4 for colours 0
// to 15, then OSC 10, 11 and 12 for foreground, background and cursor, each
// ended by ST (ESC backslash), which xterm, urxvt, st, VTE, kitty, alacritty
// and foot all take.
std::string terminal_sequences(const Palette& palette);

// Replaces the export at `path` whole with `text` (see replace_file); a file
// that cannot be written costs one line and is left as it was.
void write_export(const std::string& path, std::string_view text);

// Which of the exports to write.
struct ExportChoice {
    bool json = false;       // colors.json
    bool shell = false;      // colors.sh
    bool sequences = false;  // sequences
};

// The exports chosen, in `folder` beside the colour file, from its palette
// and the wallpaper it was taken from.
void write_exports(const std::string& folder, ExportChoice chosen, const Palette& palette, std::string_view wallpaper);

}  // namespace zelvo
