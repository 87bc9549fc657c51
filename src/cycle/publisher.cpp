#include "cycle/publisher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "colour/contrast.h"
#include "colour/exports.h"
#include "colour/templates.h"
#include "colour/terminals.h"
#include "process/children.h"
#include "support/directory.h"
#include "support/log.h"
#include "process/process.h"

namespace zelvo {

namespace {

void log_closing(const std::vector<const char*>& closing) {
    for (const char* line : closing) log_notice(line);
}

// The longest the templates of one change may take; then their worker is killed.
constexpr std::chrono::seconds template_deadline{20};

// What a templates' worker killed half-way leaves: its temporary files
// (".zelvo-" and twelve hexadecimal digits, ".tmp") in the output folder and
// its folders, down to the templates' depth; links are never followed.
void remove_leftovers_in(int folder, int depth) {
    const DirectoryPtr listing(fdopendir(dup(folder)));
    if (!listing) return;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status{};
        if (fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(status.st_mode) && depth > 0) {
            const UniqueDescriptor inside(openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inside.get() >= 0) remove_leftovers_in(inside.get(), depth - 1);
        } else if (S_ISREG(status.st_mode) && name.size() == 23 && name.starts_with(".zelvo-") && name.ends_with(".tmp")) {
            unlinkat(folder, entry->d_name, 0);
        }
    }
}

void remove_template_leftovers(const std::string& output) {
    const UniqueDescriptor folder(open(output.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() >= 0) remove_leftovers_in(folder.get(), most_template_depth);
}

// The lines that the templates' worker reports, each ended by a NUL byte, which no line holds.
void keep_line(const char* line, void* lines) {
    std::string& kept = *static_cast<std::string*>(lines);
    kept += line;
    kept += '\0';
}

}  // namespace

Publisher::Publisher(event_base* base, const RunOptions& options, Hooks hooks)
    : base_(base), options_(options), hooks_from_(std::move(hooks)), colours_(base, options), hooks_(base) {
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
    // A change whose templates are still being rendered, or wait to be, is
    // over too: nothing more of it is published. Its worker finishes, so that
    // no output is left half-way, and the newer change's templates follow.
    for (std::unique_ptr<Pending>* over : {&rendering_, &waiting_}) {
        if (!*over) continue;
        log_closing((*over)->closing);
        over->reset();
    }
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
    std::unique_ptr<Pending> change = std::move(change_);
    const Config& config = *options_.config;
    const std::string folder = options_.home + "/.zelvo";
    if (!change->colours && !change->colours_stay) palette_.reset();
    const bool coloured_now = change->colours != nullptr;
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
        if (config.templates) {
            render(std::move(change), palette);
            return;
        }
    }
    complete_after_templates(std::move(change), coloured_now);
}

// The templates are rendered in a worker, so that a folder of any size never
// holds the loop up; the change goes on once they are written. One worker at a
// time: a change whose templates come while one renders waits for it.
void Publisher::render(std::unique_ptr<Pending> change, const Palette& palette) {
    if (templates_ || sweeping_) {
        waiting_ = std::move(change);
        waiting_palette_ = palette;
        return;
    }
    const Config& config = *options_.config;
    const std::string& templates = *config.templates;
    const std::string output = options_.home + "/.zelvo/templates";
    const std::string& wallpaper = change->images.front();
    const int alpha = config.alpha;
    templates_ = std::make_unique<WorkerJob>(
        base_,
        [&templates, &output, &palette, &wallpaper, alpha] {
            std::string lines;
            report_to(keep_line, &lines);
            render_templates(templates, output, TemplateValues{palette, wallpaper, alpha});
            return lines;
        },
        template_deadline, [this](std::optional<std::string> lines) { templates_rendered(std::move(lines)); });
    if (!templates_->started()) {
        templates_.reset();
        complete_after_templates(std::move(change), true);
        return;
    }
    // A worker killed half-way leaves its temporary files: they go once it has
    // ended, and only then may the next one start.
    std::weak_ptr<bool> publisher = alive_;
    templates_->after_kill([this, publisher, output] {
        remove_template_leftovers(output);
        if (publisher.lock()) swept();
    });
    rendering_ = std::move(change);
}

void Publisher::swept() {
    sweeping_ = false;
    if (!waiting_ || templates_) return;
    std::unique_ptr<Pending> next = std::move(waiting_);
    render(std::move(next), waiting_palette_);
}

void Publisher::templates_rendered(std::optional<std::string> lines) {
    const std::unique_ptr<WorkerJob> done = std::move(templates_);
    // Killed: the next waits until what it left is swept.
    if (!lines) {
        report("Zelvo gave up on the templates: rendering them took longer than %lld seconds",
               static_cast<long long>(template_deadline.count()));
        sweeping_ = true;
    }
    for (std::size_t start = 0; lines && start < lines->size();) {
        const std::size_t end = lines->find('\0', start);
        report("%s", lines->substr(start, end - start).c_str());
        start = end == std::string::npos ? lines->size() : end + 1;
    }
    if (rendering_) complete_after_templates(std::move(rendering_), true);
    if (waiting_ && !sweeping_) {
        std::unique_ptr<Pending> next = std::move(waiting_);
        render(std::move(next), waiting_palette_);
    }
}

// The rest of a change, once its colour file, exports and templates are written.
void Publisher::complete_after_templates(std::unique_ptr<Pending> change, bool coloured_now) {
    const Config& config = *options_.config;
    const std::string colour_file = options_.home + "/.zelvo/colors";
    if (coloured_now) {
        if (config.terminals && palette_) send_to_terminals(terminal_sequences(*palette_));
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
    // Colours for a change that will not come are not worth making, nor a prune.
    if (quitting_) return;
    colours_.prepare(hooks_from_.first_next());
    cache_pruner_.after_change(base_, config.cache);
}

void Publisher::quit() {
    quitting_ = true;
    // Colours for a change that will not come are not worth a second more;
    // the hook gets its grace.
    colours_.drop();
    hooks_.stop();
}

void Publisher::after_loop() {
    cache_pruner_.stop();
    // Templates that the quit second did not see written are left as they
    // were before; the worker's leftovers go once it has ended.
    templates_.reset();
    rendering_.reset();
    waiting_.reset();
    change_.reset();
    colours_.drop();
    hooks_.kill_now();
}

}  // namespace zelvo
