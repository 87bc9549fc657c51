#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/transition_keys.h"
#include "images/string_list.h"

namespace zelvo {

// The files beside the colour file that "exports" names.
struct ColourExports {
    bool json = false;       // "json": colors.json
    bool shell = false;      // "sh": colors.sh
    bool sequences = false;  // "sequences": the terminal escape sequences
};

// One group of "per-monitor": what its monitor does otherwise than the main
// settings say. Each part that is missing, or of another type, leaves its
// monitor to the main setting.
struct MonitorGroup {
    // "sources": the monitor's own sources, expanded into a ring of its own.
    // None (no first node) when the group names none: the monitor then takes
    // its images from the main ring; a placeholder when the list is empty.
    StringList sources;
    std::optional<int> minutes;           // "minutes": the monitor's own interval
    std::optional<std::string> bg_style;  // "bg-style": the monitor's own fit
    // The monitor's own transition keys (viewer = "zelvo" only), each over the main one.
    TransitionKeys transition;
};

// Groups of "per-monitor" beyond this many are never read: no display has
// more monitors than the viewer is given images for.
inline constexpr std::size_t most_monitor_groups = 64;
// What puts the wallpaper on screen: feh on X, swaybg on Wayland, zelvo
// itself on either, or the running desktop through its own settings.
enum class ViewerKind { feh, swaybg, zelvo, desktop };

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
    // "monitors" = "auto": the count is the display's monitors. A number in
    // "monitors" keeps `monitors_auto` false; -m wins over both.
    bool monitors_auto = false;
    // "monitors" holds a number, written or the default file's: with swaybg
    // the count is then that number, else the compositor's outputs.
    bool monitors_counted = false;
    StringList sources;
    StringList xrdb_args;
    // The program started at every change and its first arguments; none when empty.
    StringList hook;
    ColourExports exports;
    int terminals = 0;
    // "templates": the folder whose files are rendered at every change; none
    // without the key. Every path the file gives takes a leading "~/" as the
    // home directory: the sources, feh-path, xrdb-path, xresources,
    // XAUTHORITY, templates and the hook's program.
    std::optional<std::string> templates;
    // "alpha": the opacity the templates name, 0 to 100.
    int alpha = 100;
    // The palette cache's folder, when "cache" is on; whoever loads the
    // Config clears it when the folder cannot be used (see palette_cache_usable).
    std::optional<std::string> cache;
    // "contrast": the ratio that every text colour must reach against the
    // background; none without the key.
    std::optional<double> contrast;
    // "rescan": the minutes between rescans of the sources; none below 1.
    int rescan = 0;
    // "order" is "name": the ring walks the images in the byte order of
    // their paths, never shuffled; else ("random") in a shuffled order.
    bool by_name = false;
    // "per-monitor": one group for each of the first monitors in feh's order,
    // the first for the first. An element that is not a group stands for an
    // empty one, so that those after it keep their monitors.
    std::vector<MonitorGroup> per_monitor;
    // "viewer": "feh", "swaybg", "zelvo" or "desktop"; a name of no viewer is
    // feh, as when the key is missing.
    ViewerKind viewer = ViewerKind::feh;
    std::optional<std::string> swaybg_path;
    // The transition keys: read with viewer = "zelvo" only, the only viewer
    // that draws transitions; with any other each key given is ignored in
    // one line. See monitor_transition (config/monitors.h).
    TransitionKeys transition;
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

// What a start must know of an existing configuration file before it takes
// its display's lock, read once without creating, changing or reporting
// anything.
struct SessionKeys {
    // "DISPLAY"; none when the file is missing, cannot be read or parsed, or
    // sets none.
    std::optional<std::string> display;
    // "viewer"; feh when it names none.
    ViewerKind viewer = ViewerKind::feh;
};
SessionKeys config_session_keys(const std::string& config_path);

// Writes the fresh six-setting file; false when it cannot be written.
bool write_default_config(const std::string& config_path, const std::string& home);

}  // namespace zelvo
