#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// What the running desktop knows: which one it is, how each of its own tools
// is called to set the wallpaper, and how a file name is written for each.
// Nothing here starts a program or touches a file.

// The desktops whose own background zelvo sets with viewer = "desktop".
// Budgie reads GNOME's settings; each keeps its name for the log.
enum class Desktop { gnome, budgie, cinnamon, mate, xfce, lxqt, plasma };

// The desktop of XDG_CURRENT_DESKTOP, a colon-separated list such as
// "ubuntu:GNOME" or "Budgie:GNOME": the first entry zelvo knows decides
// (in any letter case); none for an unset, empty or unknown list.
std::optional<Desktop> desktop_of(const char* current_desktop);

// The desktop as the log and the manual name it: "GNOME", "KDE Plasma", ...
const char* desktop_name(Desktop desktop);

// Whether the desktop gives each monitor its own picture by the monitor's
// RandR name (Xfce), so that the daemon needs the display's monitors.
bool desktop_names_monitors(Desktop desktop);

// The desktop's tools, each found on the search path at start (empty when not).
struct DesktopTools {
    std::string gsettings;
    std::string dconf;
    std::string xfconf_query;
    std::string pcmanfm_qt;
    std::string plasma_apply;  // plasma-apply-wallpaperimage
    std::string dbus_send;
};

// The first directory of the colon-separated search list that holds an
// executable `name`; empty entries are passed over. Empty when none.
std::string program_on_path(const char* search_list, std::string_view name);
DesktopTools desktop_tools_on_path(const char* search_list);

// One start of one of the desktop's tools: its argument vector, the first
// entry the program's path, never searched and never given to a shell.
struct ToolCall {
    std::vector<std::string> argv;
    // The output is read, and the plan goes on from it (Xfce's listing).
    bool reads_output = false;
    // A failure may be the desktop not being ready yet (plasmashell owns its
    // bus name before it has a desktop): the call is made again a little later.
    bool repeat_when_failed = false;
};

// One monitor's part of a change: the file to show (absolute, and a name
// this desktop takes: see desktop_takes_name), the monitor's name as the
// display gives it (may be empty) and its bg-style.
struct DesktopPicture {
    std::string file;
    std::string monitor;
    std::string bg_style;
};

// The calls that show the pictures, in order; the first picture is the
// first monitor's. A desktop with one picture for every monitor takes the
// first. Xfce's first call lists its properties: the rest comes from
// xfce_plan. Empty when the desktop's tools are all missing.
std::vector<ToolCall> desktop_plan(Desktop desktop, const DesktopTools& tools,
                                   const std::vector<DesktopPicture>& pictures);

// Xfce's calls once its properties are listed (xfconf-query -l, one a line):
// every workspace of every monitor that xfdesktop has whose name is a
// picture's monitor gets that picture and its style; a monitor it has none
// for gets its own property made on workspace 0. Without monitor names
// (none known), every monitor it has takes the first picture.
std::vector<ToolCall> xfce_plan(const DesktopTools& tools, std::string_view listing,
                                const std::vector<DesktopPicture>& pictures);

// Whether the desktop's tool can be given this file name as it is, written
// in its own syntax; one it cannot take is shown through a link of a plain
// name. GNOME, Budgie and Cinnamon take every name (as a percent-encoded
// URI), and so does Plasma through its scripting; MATE and Xfce any UTF-8
// name; LXQt any UTF-8 name without control characters, and
// plasma-apply-wallpaperimage (without dbus-send) none with a single quote either.
bool desktop_takes_name(Desktop desktop, const DesktopTools& tools, std::string_view path);

// A file:// URI of an absolute path, every byte but the unreserved ones and
// "/" percent-encoded: the URI is plain ASCII whatever the name holds.
std::string file_uri(std::string_view path);

// The text of a GVariant string, as gsettings and dconf parse a value:
// single-quoted, with backslash, quote and control characters escaped.
std::string gvariant_text(std::string_view text);

// A JavaScript string literal of ASCII text (Plasma's scripting).
std::string javascript_text(std::string_view text);

// The desktop's own fit for a feh bg-style, with feh's meaning: "--bg-fill"
// zoom, "--bg-max" scaled, "--bg-scale" stretched, "--bg-center" centered,
// "--bg-tile" wallpaper; any other style is feh's default, "--bg-scale".
// GNOME, Budgie, Cinnamon and MATE: picture-options' names; Xfce:
// image-style's numbers; LXQt: pcmanfm-qt's modes; Plasma: FillMode's numbers.
std::string desktop_fit(Desktop desktop, std::string_view bg_style);

// Whether the bytes are valid UTF-8.
bool valid_utf8(std::string_view text);

}  // namespace zelvo
