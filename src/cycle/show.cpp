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
#include "support/children.h"
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
    if (child > 0) {
        children_forget(child, ChildFate::running);
        return;
    }
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

void log_closing(const PendingChange& change) {
    for (const char* line : change.closing) log_notice(line);
}

// The change's colours are known (or off): everything else that hears of it follows, in this order.
void complete_change(DaemonState& state) {
    const std::unique_ptr<PendingChange> change = std::move(state.change);
    const Config& config = *state.options.config;
    const std::string folder = state.options.home + "/.zelvo";
    const std::string colour_file = folder + "/colors";
    if (!change->colours && !change->colours_stay) state.palette.reset();
    if (change->colours) {
        // From the image of the first monitor, and complete before xrdb loads
        // it; whatever else hears of the palette gets the very same one.
        const ColourResult& colours = change->colours->step->result();
        if (colours.complaint) report("%s", colours.complaint->c_str());
        Palette palette = colours.palette;
        if (config.contrast) palette_reach_contrast(palette, *config.contrast);
        const char* wallpaper = change->images.front().c_str();
        write_palette(colour_file, palette);
        state.palette = palette;
        write_exports(folder, config.exports, palette, wallpaper);
        if (config.templates)
            render_templates(*config.templates, folder + "/templates", TemplateValues{palette, wallpaper, config.alpha});
        if (config.terminals) send_to_terminals(terminal_sequences(palette));
        // On Wayland xrdb has an X server only through Xwayland's DISPLAY.
        if (config.use_xrdb && (config.viewer == Viewer::feh || state.options.display)) start_xrdb(state);
    }
    // Last, so that it finds the colour file and the exports complete.
    const bool coloured = change->colours || (change->colours_stay && state.palette);
    state.hooks->start(config.hook, change->images, coloured ? &colour_file : nullptr);
    publish_status(state);
    log_closing(*change);
    // Colours for a change that will not come are not worth making.
    if (!state.quitting) prepare_next_colours(state);
    if (!state.quitting) state.cache_pruner.after_change(state.events->base.get(), config.cache);
}

void on_colours_known(DaemonState& state) { complete_change(state); }

}  // namespace

void show_step(DaemonState& state, const char* closing) {
    reach_display_before_change(state);
    if (monitors_timed_apart(state)) {
        change_monitors(state, {}, closing);
        return;
    }
    // Every image is banned: the last stays on screen until a rescan or a reload brings others.
    if (state.place.current == nullptr) {
        if (!state.said_empty) {
            report("Zelvo has no image left to show: a rescan or a reload may bring some");
            state.said_empty = true;
        }
        publish_status(state);
        if (closing != nullptr) log_notice(closing);
        return;
    }
    // When the viewer cannot start, the images stay queued for the next change.
    if (!begin_change(state, state.viewer_argv.entries())) {
        publish_status(state);
        if (closing != nullptr) log_notice(closing);
        return;
    }
    if (closing != nullptr) state.change->closing.push_back(closing);
    const std::size_t count = state.viewer_argv.count();
    history_record(state.shown, state.change->images);
    ring_place_advance(state.place, state.options.ring, monitor_count(state.options));
    refill_image_slots(state.viewer_argv, state.place.current, count);
    settle_change(state);
}

// The viewer step: feh is started with every monitor's image and lays the
// whole screen out in one start; swaybg, which stays running, is started
// and handed over.
bool start_viewer(DaemonState& state, char* const* viewer_argv) {
    if (state.options.config->viewer == Viewer::swaybg) return start_swaybg(state, viewer_argv);
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start feh: fork failed: %s", std::strerror(errno));
        return false;
    }
    if (child == 0) {
        execve(state.viewer_program.c_str(), viewer_argv, state.viewer_envp.entries());
        end_failed_child("feh was not in your path. the feh path can also be defined in the config", nullptr);
    }
    children_forget(child, ChildFate::running);
    return true;
}

bool begin_change(DaemonState& state, char* const* viewer_argv, bool colours_stay) {
    if (!start_viewer(state, viewer_argv)) return false;
    state.last_change = std::time(nullptr);

    // The change before, if still under way, is over: its colours would come
    // too late, unless they are those of the first image still on screen.
    std::unique_ptr<ColourWatch> carried;
    if (state.change) {
        log_closing(*state.change);
        if (colours_stay) carried = std::move(state.change->colours);
    }
    state.change = std::make_unique<PendingChange>();
    for (char* const* image = &viewer_argv[3]; *image != nullptr; ++image) state.change->images.emplace_back(*image);
    const Config& config = *state.options.config;
    state.change->colours_stay = colours_stay;
    if (colours_stay)
        state.change->colours = std::move(carried);
    else if (config.colors)
        state.change->colours = change_colours(state, state.change->images.front(), config.dark != 0, on_colours_known);
    return true;
}

void settle_change(DaemonState& state) {
    if (state.change && (!state.change->colours || state.change->colours->step->known())) complete_change(state);
}

}  // namespace zelvo
