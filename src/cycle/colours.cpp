#include "cycle/colours.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "colour/fetch.h"
#include "colour/palette_cache.h"
#include "cycle/cycle.h"

namespace zelvo {

namespace {

bool prepared_for(const DaemonState& state, const std::string& image, bool dark) {
    return state.prepared && state.prepared->step->image() == image && state.prepared->step->dark() == dark;
}

// The step is over, one way or the other: the loop no longer watches it,
// and then its pipe goes.
void stop_watching(ColourWatch& watch) {
    watch.readable.reset();
    watch.overdue.reset();
    watch.step->close_pipe();
}

void on_colour_readable(evutil_socket_t, short, void* argument) {
    ColourWatch& watch = *static_cast<ColourWatch*>(argument);
    if (!watch.step->take()) return;
    stop_watching(watch);
    // It may destroy the watch: nothing of it is touched after.
    if (watch.on_known != nullptr) watch.on_known(*watch.state);
}

void on_colour_overdue(evutil_socket_t, short, void* argument) {
    ColourWatch& watch = *static_cast<ColourWatch*>(argument);
    watch.step->kill_overdue();
    stop_watching(watch);
    if (watch.on_known != nullptr) watch.on_known(*watch.state);
}

// Watches the step until its result is known, unless it is known already.
std::unique_ptr<ColourWatch> watch_step(DaemonState& state, std::unique_ptr<ColourChild> step) {
    auto watch = std::make_unique<ColourWatch>();
    watch->state = &state;
    watch->step = std::move(step);
    if (watch->step->known()) return watch;
    event_base* base = state.events->base.get();
    watch->readable.reset(
        event_new(base, watch->step->descriptor(), EV_READ | EV_PERSIST, on_colour_readable, watch.get()));
    watch->overdue.reset(event_new(base, -1, 0, on_colour_overdue, watch.get()));
    if (!watch->readable || !watch->overdue) std::abort();
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(watch->step->deadline() -
                                                                            std::chrono::steady_clock::now());
    const auto micro = std::max<long long>(left.count(), 0);
    const timeval overdue{static_cast<time_t>(micro / 1000000), static_cast<suseconds_t>(micro % 1000000)};
    if (event_add(watch->readable.get(), nullptr) < 0 || event_add(watch->overdue.get(), &overdue) < 0) std::abort();
    return watch;
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
    const auto same = [](const timespec& one, const timespec& two) {
        return one.tv_sec == two.tv_sec && one.tv_nsec == two.tv_nsec;
    };
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
}

std::optional<FileIdentity> file_identity(const std::string& path) {
    struct stat status{};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

void forget_unusable_cache(Config& config) {
    if (config.cache && !palette_cache_usable(*config.cache)) config.cache.reset();
}

void prepare_next_colours(DaemonState& state) {
    const Config& config = *state.options.config;
    const StringNode* first = first_monitor_next(state);
    if (!config.colors || first == nullptr) {
        state.prepared.reset();
        return;
    }
    const std::string& image = *first->value;
    const bool dark = config.dark != 0;
    if (prepared_for(state, image, dark)) return;
    state.prepared.reset();
    if (is_url(image)) return;
    const std::optional<FileIdentity> file = file_identity(image);
    if (!file) return;
    state.prepared = watch_step(state, std::make_unique<ColourChild>(image, dark, true, config.cache));
    state.prepared->file = file;
}

void drop_prepared_colours_unless(DaemonState& state, const std::string& image, bool dark) {
    if (!prepared_for(state, image, dark)) state.prepared.reset();
}

std::unique_ptr<ColourWatch> change_colours(DaemonState& state, const std::string& image, bool dark,
                                            void (*on_known)(DaemonState&)) {
    // A preparation for another image is left alone: it is for the next change.
    if (prepared_for(state, image, dark)) {
        std::unique_ptr<ColourWatch> prepared = std::move(state.prepared);
        const ColourChild& step = *prepared->step;
        // One that failed before its turn is tried again, as if nothing had been prepared.
        if (file_identity(image) == prepared->file && (!step.known() || !step.result().complaint)) {
            prepared->on_known = on_known;
            return prepared;
        }
    }
    std::unique_ptr<ColourWatch> fresh =
        watch_step(state, std::make_unique<ColourChild>(image, dark, false, state.options.config->cache));
    fresh->on_known = on_known;
    return fresh;
}

}  // namespace zelvo
