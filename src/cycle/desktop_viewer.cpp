#include "cycle/desktop_viewer.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "config/monitors.h"
#include "config/run_options.h"
#include "cycle/display.h"
#include "support/log.h"

// The tools' environment is the daemon's own: their session bus, their display.
extern char** environ;

namespace zelvo {

namespace {

std::optional<Desktop> running_desktop(const RunOptions& options) {
    return desktop_of(options.current_desktop ? options.current_desktop->c_str() : nullptr);
}

// The daemon's environment, with the display of the configuration in force.
std::vector<std::string> desktop_environment(const RunOptions& options) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.starts_with("DISPLAY=") || text.starts_with("XAUTHORITY=")) continue;
        entries.emplace_back(text);
    }
    if (options.display) entries.push_back("DISPLAY=" + *options.display);
    if (options.xauthority) entries.push_back("XAUTHORITY=" + *options.xauthority);
    return entries;
}

DesktopSettings desktop_settings(const RunOptions& options) {
    DesktopSettings settings;
    settings.current_desktop = options.current_desktop.value_or("");
    settings.desktop = running_desktop(options);
    settings.tools = desktop_tools_on_path(std::getenv("PATH"));
    settings.folder = options.home + "/.zelvo/desktop";
    settings.environment = desktop_environment(options);
    if (settings.desktop)
        report("Zelvo sets the wallpaper through the settings of %s (XDG_CURRENT_DESKTOP is %s)",
               desktop_name(*settings.desktop), settings.current_desktop.c_str());
    return settings;
}

}  // namespace

bool desktop_wants_monitor_names(const RunOptions& options) {
    const std::optional<Desktop> desktop = running_desktop(options);
    return desktop && desktop_names_monitors(*desktop);
}

DesktopViewer::DesktopViewer(const ViewerSetting& setting)
    : options_(setting.options), display_(setting.display), setter_(setting.base, desktop_settings(setting.options)) {}

bool DesktopViewer::show(const Change& change) {
    const std::vector<Monitor>& named = display_.monitors();
    std::vector<DesktopMonitor> monitors;
    for (std::size_t index = 0; index < change.images.size(); ++index) {
        DesktopMonitor monitor;
        if (index < named.size()) monitor.name = named[index].name;
        monitor.bg_style = monitor_bg_style(*options_.config, index);
        monitors.push_back(std::move(monitor));
    }
    setter_.show(change.images, std::move(monitors));
    return true;
}

}  // namespace zelvo
