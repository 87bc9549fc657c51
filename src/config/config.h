#pragma once

#include <memory>
#include <optional>
#include <string>

#include "images/string_list.h"

namespace zelvo {

// The files beside the colour file that "exports" names.
struct ColourExports {
    bool json = false;       // "json": colors.json
    bool shell = false;      // "sh": colors.sh
    bool sequences = false;  // "sequences": the terminal escape sequences
};

// The program that puts the wallpaper on screen: feh on X, swaybg on Wayland.
enum class Viewer { feh, swaybg };

// One loaded configuration file; replaced whole on reload.
struct Config {
    int colors = 0;
    int dark = 0;
    int use_xrdb = 0;
    std::optional<std::string> feh_path;
    std::optional<std::string> xrdb_path;
    int minutes = 30;
    std::string bg_style;
    std::optional<std::string> xauthority;
    std::optional<std::string> display;
    int monitors = 1;
    StringList sources;
    StringList xrdb_args;
    // The program started at every change and its first arguments; none when empty.
    StringList hook;
    ColourExports exports;
    int terminals = 0;
    // "viewer": "feh" or "swaybg"; a name of no viewer is feh, as when the key is missing.
    Viewer viewer = Viewer::feh;
    std::optional<std::string> swaybg_path;
};

void release_config(Config* config);

struct ConfigRelease {
    void operator()(Config* config) const noexcept { release_config(config); }
};
using ConfigPtr = std::unique_ptr<Config, ConfigRelease>;

// Reads the configuration file, creating the per-user directory, the default
// file and the images directory where they are missing. Gives none, after
// reporting one line that names the file and the reason, when the file cannot
// be read, parsed or created.
ConfigPtr load_config(const std::string& config_path, const std::string& home,
                      const std::optional<std::string>& source);

// The "DISPLAY" that an existing configuration file sets, read without
// creating, changing or reporting anything; none when the file is missing,
// cannot be read or parsed, or sets none.
std::optional<std::string> config_display(const std::string& config_path);

// Writes the fresh six-setting file; false when it cannot be written.
bool write_default_config(const std::string& config_path, const std::string& home);

}  // namespace zelvo
