#include "cycle/colours.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "colour/fetch.h"
#include "cycle/cycle.h"

namespace zelvo {

namespace {

bool prepared_for(const DaemonState& state, const std::string& image, bool dark) {
    return state.prepared && state.prepared->step->image() == image && state.prepared->step->dark() == dark;
}

// The preparation is over, one way or the other: the loop no longer watches it.
void stop_watching(PreparedColours& prepared) {
    if (prepared.readable) event_del(prepared.readable.get());
    if (prepared.overdue) event_del(prepared.overdue.get());
}

void on_prepared_readable(evutil_socket_t, short, void* argument) {
    PreparedColours& prepared = *static_cast<DaemonState*>(argument)->prepared;
    if (prepared.step->take()) stop_watching(prepared);
}

void on_prepared_overdue(evutil_socket_t, short, void* argument) {
    PreparedColours& prepared = *static_cast<DaemonState*>(argument)->prepared;
    prepared.step->kill_overdue();
    stop_watching(prepared);
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

void prepare_next_colours(DaemonState& state) {
    const Config& config = *state.options.config;
    if (!config.colors || state.current == nullptr) {
        state.prepared.reset();
        return;
    }
    const std::string& image = *state.current->value;
    const bool dark = config.dark != 0;
    if (prepared_for(state, image, dark)) return;
    state.prepared.reset();
    if (is_url(image)) return;
    const std::optional<FileIdentity> file = file_identity(image);
    if (!file) return;
    auto prepared = std::make_unique<PreparedColours>();
    prepared->file = *file;
    prepared->step = std::make_unique<ColourChild>(image, dark, true, config.cache);
    if (!prepared->step->known()) {
        event_base* base = state.events->base.get();
        const int descriptor = prepared->step->descriptor();
        prepared->readable.reset(event_new(base, descriptor, EV_READ | EV_PERSIST, on_prepared_readable, &state));
        prepared->overdue.reset(event_new(base, -1, 0, on_prepared_overdue, &state));
        if (!prepared->readable || !prepared->overdue) std::abort();
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(prepared->step->deadline() -
                                                                                std::chrono::steady_clock::now());
        const timeval overdue{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
        if (event_add(prepared->readable.get(), nullptr) < 0 || event_add(prepared->overdue.get(), &overdue) < 0)
            std::abort();
    }
    state.prepared = std::move(prepared);
}

void drop_prepared_colours_unless(DaemonState& state, const std::string& image, bool dark) {
    if (!prepared_for(state, image, dark)) state.prepared.reset();
}

ColourResult change_colours(DaemonState& state, const std::string& image, bool dark) {
    // A preparation for another image is left alone: it is for the next change.
    if (prepared_for(state, image, dark)) {
        const std::unique_ptr<PreparedColours> prepared = std::move(state.prepared);
        stop_watching(*prepared);
        if (file_identity(image) == std::optional<FileIdentity>(prepared->file)) {
            ColourChild& step = *prepared->step;
            if (!step.known()) return step.wait();
            // One that failed before its turn is tried again, as if nothing had been prepared.
            if (!step.result().complaint) return step.result();
        }
    }
    return colour_step(image, dark, state.options.config->cache);
}

}  // namespace zelvo
