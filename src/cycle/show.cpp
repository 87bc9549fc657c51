#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "colour/colour_child.h"
#include "colour/contrast.h"
#include "colour/exports.h"
#include "colour/templates.h"
#include "cycle/cycle.h"
#include "cycle/hook.h"
#include "cycle/terminals.h"
#include "support/log.h"
#include "support/process.h"

namespace zelvo {

namespace {

// The child of a failed exec says so and ends at once: it must not return
// into the daemon's code, run its clean-up or flush its buffered output.
[[noreturn]] void end_failed_child(const char* first, const char* second) {
    log_notice(first);
    if (second != nullptr) log_notice(second);
    _exit(127);
}

// Starts xrdb on the daemon's own environment; its program path is searched
// for on PATH when it has no slash.
void start_xrdb(const DaemonState& state) {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start xrdb: fork failed: %s", std::strerror(errno));
        return;
    }
    if (child > 0) return;
    execvp(state.xrdb_program.c_str(), state.xrdb_argv.entries());
    end_failed_child("xrdb was not in your path. the xrdb path can also be defined in the config",
                     "Could xrdb not be installed?");
}

// The exports the Config names, beside the colour file and from its palette.
void write_exports(const std::string& folder, const ColourExports& exports, const Palette& palette,
                   const char* wallpaper) {
    if (exports.json) write_export(folder + "/colors.json", colours_json(palette, wallpaper));
    if (exports.shell) write_export(folder + "/colors.sh", colours_shell(palette, wallpaper));
    if (exports.sequences) write_export(folder + "/sequences", terminal_sequences(palette));
}

}  // namespace

void show_step(DaemonState& state) {
    // When the viewer cannot start, the images stay queued for the next change.
    if (!show_images(state, state.viewer_argv.entries())) return;
    const std::size_t count = state.viewer_argv.count();
    history_record(state.shown, std::vector<std::string>(&state.viewer_argv.entries()[3],
                                                         &state.viewer_argv.entries()[count - 1]));
    state.current = ring_advance(state.current, monitor_count(state.options));
    refill_image_slots(state.viewer_argv, state.current, count);
    prepare_next_colours(state);
}

bool show_images(DaemonState& state, char* const* viewer_argv) {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start feh: fork failed: %s", std::strerror(errno));
        return false;
    }
    if (child == 0) {
        execve(state.viewer_program.c_str(), viewer_argv, state.viewer_envp.entries());
        end_failed_child("feh was not in your path. the feh path can also be defined in the config", nullptr);
    }
    state.last_change = std::time(nullptr);

    const Config& config = *state.options.config;
    const std::string folder = state.options.home + "/.zelvo";
    const std::string colour_file = folder + "/colors";
    if (config.colors) {
        // From the image of the first monitor, and complete before xrdb loads
        // it; whatever else hears of the palette gets the very same one.
        ColourResult colours = change_colours(state, viewer_argv[3], config.dark != 0);
        if (colours.complaint) report("%s", colours.complaint->c_str());
        if (config.contrast) palette_reach_contrast(colours.palette, *config.contrast);
        write_palette(colour_file, colours.palette);
        write_exports(folder, config.exports, colours.palette, viewer_argv[3]);
        if (config.templates)
            render_templates(*config.templates, folder + "/templates",
                             TemplateValues{colours.palette, viewer_argv[3], config.alpha});
        if (config.terminals) send_to_terminals(terminal_sequences(colours.palette));
        if (config.use_xrdb) start_xrdb(state);
    }
    // Last, so that it finds the colour file and the exports complete.
    start_hook(state.hook, HookCall{config.hook, &viewer_argv[3], config.colors ? &colour_file : nullptr});
    return true;
}

}  // namespace zelvo
