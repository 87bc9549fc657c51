#include "desktop/desktop.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zelvo {

namespace {

bool same_letters(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(a) == lower(b);
           });
}

std::optional<Desktop> desktop_named(std::string_view name) {
    static constexpr std::pair<const char*, Desktop> names[] = {
        {"GNOME", Desktop::gnome}, {"Budgie", Desktop::budgie}, {"X-Cinnamon", Desktop::cinnamon},
        {"Cinnamon", Desktop::cinnamon}, {"MATE", Desktop::mate}, {"XFCE", Desktop::xfce},
        {"LXQt", Desktop::lxqt}, {"KDE", Desktop::plasma},
    };
    for (const auto& [known, desktop] : names)
        if (same_letters(name, known)) return desktop;
    return std::nullopt;
}

// The picture-options name of each feh style, in the order of fit_index.
constexpr const char* gnome_fits[] = {"stretched", "zoom", "scaled", "centered", "wallpaper"};
// Xfce's image-style: 1 centered, 2 tiled, 3 stretched, 4 scaled, 5 zoomed.
constexpr const char* xfce_fits[] = {"3", "5", "4", "1", "2"};
constexpr const char* lxqt_fits[] = {"stretch", "zoom", "fit", "center", "tile"};
// Plasma's FillMode, Qt's Image.fillMode: 0 Stretch, 1 PreserveAspectFit,
// 2 PreserveAspectCrop, 3 Tile, 6 Pad (centred at its own size).
constexpr const char* plasma_fits[] = {"0", "2", "1", "6", "3"};

std::size_t fit_index(std::string_view bg_style) {
    static constexpr const char* styles[] = {"--bg-scale", "--bg-fill", "--bg-max", "--bg-center", "--bg-tile"};
    for (std::size_t index = 0; index < std::size(styles); ++index)
        if (bg_style == styles[index]) return index;
    return 0;
}

// gsettings, else dconf: one key of a schema set to a GVariant text.
ToolCall settings_call(const DesktopTools& tools, const char* schema, const char* path, const char* key,
                       const std::string& value) {
    if (!tools.gsettings.empty()) return ToolCall{{tools.gsettings, "set", schema, key, value}};
    return ToolCall{{tools.dconf, "write", std::string(path) + key, value}};
}

std::vector<ToolCall> settings_plan(const DesktopTools& tools, Desktop desktop, const DesktopPicture& picture) {
    if (tools.gsettings.empty() && tools.dconf.empty()) return {};
    const std::string fit = gvariant_text(desktop_fit(desktop, picture.bg_style));
    std::vector<ToolCall> calls;
    if (desktop == Desktop::mate) {
        calls.push_back(settings_call(tools, "org.mate.background", "/org/mate/desktop/background/", "picture-options", fit));
        calls.push_back(settings_call(tools, "org.mate.background", "/org/mate/desktop/background/", "picture-filename",
                                      gvariant_text(picture.file)));
        return calls;
    }
    const bool cinnamon = desktop == Desktop::cinnamon;
    const char* schema = cinnamon ? "org.cinnamon.desktop.background" : "org.gnome.desktop.background";
    const char* path = cinnamon ? "/org/cinnamon/desktop/background/" : "/org/gnome/desktop/background/";
    const std::string uri = gvariant_text(file_uri(picture.file));
    calls.push_back(settings_call(tools, schema, path, "picture-options", fit));
    calls.push_back(settings_call(tools, schema, path, "picture-uri", uri));
    // GNOME shows picture-uri-dark in its dark style: without it the old picture stays there.
    if (!cinnamon) calls.push_back(settings_call(tools, schema, path, "picture-uri-dark", uri));
    return calls;
}

// Plasma's scripting: every desktop of the shell takes the picture of its
// screen (the first for a screen beyond them), locked widgets unlocked for
// the change and locked again; a shell without a desktop yet fails, so that
// the call is made again.
std::string plasma_script(const std::vector<DesktopPicture>& pictures) {
    std::string images = "[";
    std::string fits = "[";
    for (const DesktopPicture& picture : pictures) {
        if (images.size() > 1) {
            images += ",";
            fits += ",";
        }
        images += javascript_text(file_uri(picture.file));
        fits += desktop_fit(Desktop::plasma, picture.bg_style);
    }
    return "var images = " + images + "];\nvar fits = " + fits +
           "];\n"
           "var all = desktops();\n"
           "if (all.length == 0) throw new Error('no desktop yet');\n"
           "var wasLocked = locked;\n"
           "if (wasLocked) locked = false;\n"
           "for (var i = 0; i < all.length; i++) {\n"
           "    var d = all[i];\n"
           "    var n = d.screen >= 0 && d.screen < images.length ? d.screen : 0;\n"
           "    d.wallpaperPlugin = 'org.kde.image';\n"
           "    d.currentConfigGroup = ['Wallpaper', 'org.kde.image', 'General'];\n"
           "    d.writeConfig('FillMode', fits[n]);\n"
           "    d.writeConfig('Image', images[n]);\n"
           "}\n"
           "if (wasLocked) locked = true;\n";
}

// Plasma's own scripting, through dbus-send, before plasma-apply-wallpaperimage:
// only the script sets each screen's picture and the fit, and fails while
// plasmashell has no desktop yet, which plasma-apply-wallpaperimage reports
// as a success.
std::vector<ToolCall> plasma_plan(const DesktopTools& tools, const std::vector<DesktopPicture>& pictures) {
    if (!tools.dbus_send.empty()) {
        ToolCall call{{tools.dbus_send, "--session", "--print-reply", "--dest=org.kde.plasmashell", "/PlasmaShell",
                       "org.kde.PlasmaShell.evaluateScript", "string:" + plasma_script(pictures)}};
        call.repeat_when_failed = true;
        return {std::move(call)};
    }
    if (tools.plasma_apply.empty()) return {};
    return {ToolCall{{tools.plasma_apply, pictures.front().file}}};
}

constexpr std::string_view xfce_prefix = "/backdrop/screen";
constexpr std::string_view xfce_image = "/last-image";

// A property of xfdesktop's: ".../monitorNAME/workspaceN/last-image"; its
// monitor's name and the path up to the workspace.
struct XfceProperty {
    std::string monitor;
    std::string workspace_path;
};

std::optional<XfceProperty> xfce_property(std::string_view line) {
    if (!line.starts_with(xfce_prefix) || !line.ends_with(xfce_image)) return std::nullopt;
    const std::string_view path = line.substr(0, line.size() - xfce_image.size());
    const std::size_t workspace = path.rfind("/workspace");
    const std::size_t monitor = path.find("/monitor");
    if (workspace == std::string_view::npos || monitor == std::string_view::npos || monitor >= workspace)
        return std::nullopt;
    // The screen's number, then the monitor, then one workspace: nothing between.
    const std::string_view screen = path.substr(xfce_prefix.size(), monitor - xfce_prefix.size());
    if (screen.empty() || !std::all_of(screen.begin(), screen.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::string_view number = path.substr(workspace + 10);
    if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::string_view name = path.substr(monitor + 8, workspace - monitor - 8);
    if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
    return XfceProperty{std::string(name), std::string(path)};
}

void xfce_set(std::vector<ToolCall>& calls, const DesktopTools& tools, const std::string& workspace_path,
              const DesktopPicture& picture) {
    // "-n" with its type sets a property that exists and makes one that does not.
    calls.push_back(ToolCall{{tools.xfconf_query, "-c", "xfce4-desktop", "-p", workspace_path + "/image-style", "-n",
                              "-t", "int", "-s", desktop_fit(Desktop::xfce, picture.bg_style)}});
    calls.push_back(ToolCall{{tools.xfconf_query, "-c", "xfce4-desktop", "-p", workspace_path + xfce_image.data(), "-n",
                              "-t", "string", "-s", picture.file}});
}

}  // namespace

std::optional<Desktop> desktop_of(const char* current_desktop) {
    if (current_desktop == nullptr) return std::nullopt;
    std::string_view list = current_desktop;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(':'), list.size());
        if (std::optional<Desktop> desktop = desktop_named(list.substr(0, end))) return desktop;
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return std::nullopt;
}

const char* desktop_name(Desktop desktop) {
    switch (desktop) {
    case Desktop::gnome: return "GNOME";
    case Desktop::budgie: return "Budgie";
    case Desktop::cinnamon: return "Cinnamon";
    case Desktop::mate: return "MATE";
    case Desktop::xfce: return "Xfce";
    case Desktop::lxqt: return "LXQt";
    case Desktop::plasma: return "KDE Plasma";
    }
    return "";
}

bool desktop_names_monitors(Desktop desktop) { return desktop == Desktop::xfce; }

std::string program_on_path(const char* search_list, std::string_view name) {
    if (search_list == nullptr) return "";
    std::string_view list = search_list;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(':'), list.size());
        if (end > 0) {
            std::string candidate = std::string(list.substr(0, end)) + "/" + std::string(name);
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return "";
}

DesktopTools desktop_tools_on_path(const char* search_list) {
    DesktopTools tools;
    tools.gsettings = program_on_path(search_list, "gsettings");
    tools.dconf = program_on_path(search_list, "dconf");
    tools.xfconf_query = program_on_path(search_list, "xfconf-query");
    tools.pcmanfm_qt = program_on_path(search_list, "pcmanfm-qt");
    tools.plasma_apply = program_on_path(search_list, "plasma-apply-wallpaperimage");
    tools.dbus_send = program_on_path(search_list, "dbus-send");
    return tools;
}

std::vector<ToolCall> desktop_plan(Desktop desktop, const DesktopTools& tools,
                                   const std::vector<DesktopPicture>& pictures) {
    if (pictures.empty()) return {};
    switch (desktop) {
    case Desktop::gnome:
    case Desktop::budgie:
    case Desktop::cinnamon:
    case Desktop::mate:
        return settings_plan(tools, desktop, pictures.front());
    case Desktop::xfce: {
        if (tools.xfconf_query.empty()) return {};
        ToolCall listing{{tools.xfconf_query, "-c", "xfce4-desktop", "-l"}};
        listing.reads_output = true;
        return {std::move(listing)};
    }
    case Desktop::lxqt:
        if (tools.pcmanfm_qt.empty()) return {};
        // The session's desktop runs with the profile "lxqt", and pcmanfm-qt's
        // default mode shows no picture at all.
        return {ToolCall{{tools.pcmanfm_qt, "--profile=lxqt", "--set-wallpaper", pictures.front().file,
                          "--wallpaper-mode", desktop_fit(desktop, pictures.front().bg_style)}}};
    case Desktop::plasma:
        return plasma_plan(tools, pictures);
    }
    return {};
}

std::vector<ToolCall> xfce_plan(const DesktopTools& tools, std::string_view listing,
                                const std::vector<DesktopPicture>& pictures) {
    std::vector<ToolCall> calls;
    if (pictures.empty()) return calls;
    std::vector<XfceProperty> found;
    while (!listing.empty()) {
        const std::size_t end = std::min(listing.find('\n'), listing.size());
        if (std::optional<XfceProperty> property = xfce_property(listing.substr(0, end)))
            found.push_back(std::move(*property));
        listing.remove_prefix(std::min(end + 1, listing.size()));
    }
    const bool named = std::any_of(pictures.begin(), pictures.end(),
                                   [](const DesktopPicture& picture) { return !picture.monitor.empty(); });
    if (!named) {
        for (const XfceProperty& property : found) xfce_set(calls, tools, property.workspace_path, pictures.front());
        return calls;
    }
    for (const DesktopPicture& picture : pictures) {
        if (picture.monitor.empty()) continue;
        bool any = false;
        for (const XfceProperty& property : found) {
            if (property.monitor != picture.monitor) continue;
            xfce_set(calls, tools, property.workspace_path, picture);
            any = true;
        }
        if (!any) xfce_set(calls, tools, "/backdrop/screen0/monitor" + picture.monitor + "/workspace0", picture);
    }
    return calls;
}

bool valid_utf8(std::string_view text) {
    const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = byte + text.size();
    while (byte < end) {
        const unsigned char lead = *byte;
        std::size_t length = 1;
        unsigned long code = lead;
        if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            code = lead & 0x07u;
        } else if (lead >= 0xe0) {
            length = 3;
            code = lead & 0x0fu;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
            code = lead & 0x1fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (static_cast<std::size_t>(end - byte) < length) return false;
        for (std::size_t at = 1; at < length; ++at) {
            if ((byte[at] & 0xc0u) != 0x80u) return false;
            code = (code << 6) | (byte[at] & 0x3fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
            (code >= 0xd800 && code <= 0xdfff))
            return false;
        byte += length;
    }
    return true;
}

bool desktop_takes_name(Desktop desktop, const DesktopTools& tools, std::string_view path) {
    const bool control = std::any_of(path.begin(), path.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    switch (desktop) {
    case Desktop::gnome:
    case Desktop::budgie:
    case Desktop::cinnamon:
        return true;
    case Desktop::mate:
    case Desktop::xfce:
        return valid_utf8(path);
    case Desktop::lxqt:
        return valid_utf8(path) && !control;
    case Desktop::plasma:
        // The script gives Plasma a URI; plasma-apply-wallpaperimage writes
        // the name into a script of its own between single quotes.
        if (!tools.dbus_send.empty()) return true;
        return valid_utf8(path) && !control && path.find('\'') == std::string_view::npos;
    }
    return false;
}

std::string file_uri(std::string_view path) {
    std::string uri = "file://";
    for (const char c : path) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            uri += c;
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
        uri += escaped;
    }
    return uri;
}

namespace {

// Text in single quotes, a backslash before each quote and backslash, and
// each control byte and DEL, and with `high` each byte above them too,
// written by `escape`, a printf format of the byte.
std::string single_quoted(std::string_view text, const char* escape, bool high) {
    std::string quoted = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\'') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f || (high && byte > 0x7f)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, escape, byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

// GVariant text takes UTF-8 as it is.
std::string gvariant_text(std::string_view text) { return single_quoted(text, "\\u%04x", false); }

std::string javascript_text(std::string_view text) { return single_quoted(text, "\\x%02x", true); }

std::string desktop_fit(Desktop desktop, std::string_view bg_style) {
    const std::size_t index = fit_index(bg_style);
    switch (desktop) {
    case Desktop::xfce: return xfce_fits[index];
    case Desktop::lxqt: return lxqt_fits[index];
    case Desktop::plasma: return plasma_fits[index];
    default: return gnome_fits[index];
    }
}

}  // namespace zelvo
