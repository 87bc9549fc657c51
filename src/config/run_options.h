#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "images/string_list.h"

namespace zelvo {

// The one start-up record of the process, owned by start-up until tear-down.
struct RunOptions {
    std::string home;
    std::optional<std::string> source;
    std::optional<std::string> xauthority;
    std::optional<std::string> display;
    // The Wayland display that swaybg draws on, and the folder its socket is in.
    std::optional<std::string> wayland_display;
    std::optional<std::string> runtime_directory;
    // XDG_CURRENT_DESKTOP, which names the desktop whose own settings show
    // the wallpaper with viewer = "desktop".
    std::optional<std::string> current_desktop;
    std::string config_path;
    ConfigPtr config;
    int minutes = 0;
    int monitors = 0;
    std::string feh_path;
    std::string xrdb_path;
    std::string swaybg_path;
    ImageRing ring;
    // The rings of the groups of "per-monitor", in group order; an empty one
    // for a group whose monitor takes the main ring's images.
    std::vector<ImageRing> monitor_rings;
};

// The Config's "XAUTHORITY" and "DISPLAY", where it sets them, replace the
// values in RunOptions; where it does not, the earlier values stay.
void apply_display_overrides(RunOptions& options, const Config& config);

// A reload: a Config loaded anew (load_config), whose sources gave these
// images (not empty), is put in force: its display values, then the Config,
// then the images shuffled into a new ring, which replaces the old one. The
// daemon expands the sources in a worker in between, so that the loop never
// waits for them, and only then calls this: when the new file cannot be used,
// or its sources give no image, the previous Config and ring stay in force.
void reload_config(RunOptions& options, ConfigPtr config, StringList images);

}  // namespace zelvo
