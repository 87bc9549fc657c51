#include "cycle/publisher.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "colour/contrast.h"
#include "colour/exports.h"
#include "colour/templates.h"
#include "colour/terminals.h"
#include "support/children.h"
#include "support/log.h"
#include "support/process.h"

namespace zelvo {

namespace {

void log_closing(const std::vector<const char*>& closing) {
    for (const char* line : closing) log_notice(line);
}

}  // namespace

Publisher::Publisher(event_base* base, const RunOptions& options, Hooks hooks)
    : options_(options), hooks_from_(std::move(hooks)), colours_(base, options), hooks_(base) {
    reconfigure();
}

Publisher::~Publisher() { after_loop(); }

void Publisher::reconfigure() {
    // The Config's path where it names one, else the one found on PATH at start-up.
    xrdb_program = options_.config->xrdb_path.value_or(options_.xrdb_path);
    release_vector(xrdb_argv);
    xrdb_argv = build_xrdb_argv(*options_.config);
}

void Publisher::begin(const Change& change, bool on_screen) {
    last_change_ = std::time(nullptr);
    // The change before, if still under way, is over: its colours would come
    // too late, unless they are those of the first image still on screen.
    std::unique_ptr<ColourWatch> carried;
    if (change_) {
        log_closing(change_->closing);
        if (change.colours_stay) carried = std::move(change_->colours);
    }
    change_ = std::make_unique<Pending>();
    change_->images = change.images;
    change_->colours_stay = change.colours_stay;
    change_->on_screen = on_screen;
    if (change.closing != nullptr) change_->closing.push_back(change.closing);
    const Config& config = *options_.config;
    if (change.colours_stay)
        change_->colours = std::move(carried);
    else if (config.colors)
        change_->colours = colours_.take(change_->images.front(), config.dark != 0);
    if (change_->colours) change_->colours->watch([this] { settle(); });
}

void Publisher::on_screen(bool first_drawn) {
    if (!change_) return;
    change_->on_screen = true;
    if (!first_drawn && !change_->colours_stay) {
        change_->colours.reset();
        change_->colours_stay = true;
    }
    settle();
}

void Publisher::settle() {
    if (change_ && change_->on_screen && (!change_->colours || change_->colours->known())) complete();
}

void Publisher::next_changed() { colours_.drop_unless(hooks_from_.first_next()); }

// Starts xrdb on the daemon's own environment; its program path is searched
// for on PATH when it has no slash.
void Publisher::start_xrdb() const {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start xrdb: fork failed: %s", std::strerror(errno));
        return;
    }
    if (child > 0) {
        children_forget(child, ChildFate::running);
        return;
    }
    execvp(xrdb_program.c_str(), xrdb_argv.entries());
    // The child of a failed exec says so and ends at once: it must not return
    // into the daemon's code, run its clean-up or flush its buffered output.
    log_notice("xrdb was not in your path. the xrdb path can also be defined in the config");
    log_notice("Could xrdb not be installed?");
    _exit(127);
}

// The change is on screen and its colours are known (or off): everything
// else that hears of it follows, in this order.
void Publisher::complete() {
    const std::unique_ptr<Pending> change = std::move(change_);
    const Config& config = *options_.config;
    const std::string folder = options_.home + "/.zelvo";
    const std::string colour_file = folder + "/colors";
    if (!change->colours && !change->colours_stay) palette_.reset();
    if (change->colours) {
        // From the image of the first monitor, and complete before xrdb loads
        // it; whatever else hears of the palette gets the very same one.
        const ColourResult& colours = change->colours->step().result();
        if (colours.complaint) report("%s", colours.complaint->c_str());
        Palette palette = colours.palette;
        if (config.contrast) palette_reach_contrast(palette, *config.contrast);
        const std::string& wallpaper = change->images.front();
        write_color_file(options_.home, palette);
        palette_ = palette;
        write_exports(folder, ExportChoice{config.exports.json, config.exports.shell, config.exports.sequences}, palette,
                      wallpaper);
        if (config.templates)
            render_templates(*config.templates, folder + "/templates",
                             TemplateValues{palette, wallpaper, config.alpha});
        if (config.terminals) send_to_terminals(terminal_sequences(palette));
        // xrdb needs an X server: on Wayland only Xwayland's DISPLAY has one.
        const bool on_x = config.viewer == ViewerKind::feh || options_.display ||
                          (config.viewer != ViewerKind::swaybg && !options_.wayland_display);
        if (config.use_xrdb && on_x) start_xrdb();
    }
    // Last, so that it finds the colour file and the exports complete.
    const bool coloured = change->colours || (change->colours_stay && palette_);
    hooks_.start(config.hook, change->images, coloured ? &colour_file : nullptr);
    hooks_from_.publish_status();
    log_closing(change->closing);
    // Colours for a change that will not come are not worth making.
    if (!quitting_) colours_.prepare(hooks_from_.first_next());
}

void Publisher::quit() {
    quitting_ = true;
    // Colours for a change that will not come are not worth a second more;
    // the hook gets its grace.
    colours_.drop();
    hooks_.stop();
}

void Publisher::after_loop() {
    change_.reset();
    colours_.drop();
    hooks_.kill_now();
}

}  // namespace zelvo
