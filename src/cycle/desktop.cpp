// The viewer step with viewer = "desktop": the running desktop's own tools,
// through the DesktopSetter that the loop owns.

#include <cstdlib>
#include <string_view>

#include "config/monitors.h"
#include "cycle/cycle.h"
#include "support/log.h"

// The tools' environment is the daemon's own: their session bus, their display.
extern char** environ;

namespace zelvo {

namespace {

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

DesktopSetter& desktop_setter(DaemonState& state) {
    if (state.desktop) return *state.desktop;
    const RunOptions& options = state.options;
    DesktopSettings settings;
    settings.current_desktop = options.current_desktop.value_or("");
    settings.desktop = desktop_of(options.current_desktop ? options.current_desktop->c_str() : nullptr);
    settings.tools = desktop_tools_on_path(std::getenv("PATH"));
    settings.folder = options.home + "/.zelvo/desktop";
    settings.environment = desktop_environment(options);
    if (settings.desktop)
        report("Zelvo sets the wallpaper through the settings of %s (XDG_CURRENT_DESKTOP is %s)",
               desktop_name(*settings.desktop), settings.current_desktop.c_str());
    state.desktop = std::make_unique<DesktopSetter>(state.events->base.get(), std::move(settings));
    return *state.desktop;
}

}  // namespace

bool start_desktop(DaemonState& state, char* const* viewer_argv) {
    std::vector<std::string> images;
    for (char* const* image = &viewer_argv[3]; *image != nullptr; ++image) images.emplace_back(*image);
    const bool named = state.display && state.display->connected();
    std::vector<DesktopMonitor> monitors;
    for (std::size_t index = 0; index < images.size(); ++index) {
        DesktopMonitor monitor;
        if (named && index < state.monitors.size()) monitor.name = state.monitors[index].name;
        monitor.bg_style = monitor_bg_style(*state.options.config, index);
        monitors.push_back(std::move(monitor));
    }
    desktop_setter(state).show(std::move(images), std::move(monitors));
    return true;
}

bool desktop_wants_monitor_names(const DaemonState& state) {
    const std::optional<std::string>& current = state.options.current_desktop;
    const std::optional<Desktop> desktop = desktop_of(current ? current->c_str() : nullptr);
    return desktop && desktop_names_monitors(*desktop);
}

void end_desktop(DaemonState& state) { state.desktop.reset(); }

}  // namespace zelvo
