// Every monitor its own: the count that the display gives with "monitors" =
// "auto", followed through the one connection that the loop watches; the
// rings and periods of "per-monitor"; and changes of some monitors while the
// others keep their images.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "cycle/cycle.h"
#include "support/log.h"
#include "support/worker.h"

namespace zelvo {

namespace {

using Clock = MonitorClock;

// A display that has gone is tried again after a second, then after twice as
// long each time, up to this; the changes try it too.
constexpr int most_retry_seconds = 30;
// A display whose changes outran one reading is read again this soon.
constexpr timeval behind_retry{0, 10000};

// Rounded up, so that the timer never comes before the change is due.
timeval timeval_until(Clock::time_point when, Clock::time_point now) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(when - now).count();
    const long long micro = std::max<long long>(left, 0);
    return timeval{static_cast<time_t>(micro / 1000000), static_cast<suseconds_t>(micro % 1000000)};
}

// The wall-clock second of a moment of the steady clock, as the status tells it.
std::int64_t wall_time(Clock::time_point when, Clock::time_point now) {
    const auto left = std::chrono::round<std::chrono::seconds>(when - now).count();
    return static_cast<std::int64_t>(std::time(nullptr)) + left;
}

std::chrono::seconds monitor_period(const DaemonState& state, std::size_t monitor) {
    const RunOptions& options = state.options;
    const std::uint32_t main = interval_seconds(options);
    // -t wins over every "minutes" of the file, as it does over the main one.
    if (options.minutes >= 1) return std::chrono::seconds(main);
    return std::chrono::seconds(monitor_interval_seconds(*options.config, monitor, main));
}

std::size_t monitors_now(const DaemonState& state) { return static_cast<std::size_t>(monitor_count(state.options)); }

std::vector<std::optional<std::string>> on_screen_kept(const DaemonState& state) {
    std::vector<std::optional<std::string>> keep(monitors_now(state));
    if (const std::vector<std::string>* shown = history_on_screen(state.shown))
        for (std::size_t monitor = 0; monitor < keep.size() && monitor < shown->size(); ++monitor)
            keep[monitor] = (*shown)[monitor];
    return keep;
}

void arm_monitor_timer(DaemonState& state) {
    event* timer = state.events->timer_event.get();
    event_del(timer);
    if (state.paused || state.monitor_next.empty()) {
        state.next_change.reset();
        return;
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point first = first_change(state.monitor_next, now);
    const timeval wait = timeval_until(first, now);
    event_add(timer, &wait);
    state.next_change = wall_time(first, now);
}

// The schedules follow the monitor count: a monitor new to it starts its period now.
void fit_monitor_timers(DaemonState& state) {
    const std::size_t count = monitors_now(state);
    const Clock::time_point now = Clock::now();
    for (std::size_t monitor = state.monitor_next.size(); monitor < count; ++monitor)
        state.monitor_next.push_back(now + monitor_period(state, monitor));
    state.monitor_next.resize(count);
}

// swaybg needs the outputs' names whatever the count: it always has the connection.
bool display_wanted(const DaemonState& state) {
    if (state.options.config->viewer == Viewer::swaybg) return true;
    // Xfce gives each monitor its picture by the monitor's name.
    if (state.options.config->viewer == Viewer::desktop && desktop_wants_monitor_names(state)) return true;
    return state.options.monitors < 1 && state.options.config->monitors_auto;
}

void on_display_readable(evutil_socket_t, short, void* argument);
void on_display_retry(evutil_socket_t, short, void* argument);

// The loop lets go of the descriptor before the connection closes it.
void unwatch_display(DaemonState& state, int descriptor) {
    if (descriptor != state.display_descriptor) return;
    state.display_readable.reset();
    forget_in_workers(descriptor);
    state.display_descriptor = -1;
}

void arm_display_retry(DaemonState& state, timeval wait) {
    event_del(state.display_retry.get());
    event_add(state.display_retry.get(), &wait);
}

void set_display_count(DaemonState& state, std::size_t count) {
    const std::size_t kept = std::clamp<std::size_t>(count, 1, static_cast<std::size_t>(max_monitors));
    state.options.display_monitors = static_cast<int>(kept);
}

// One try to reach the display; true when it is connected and counted.
bool reach_display(DaemonState& state) {
    MonitorSource& display = *state.display;
    if (!display.connect()) {
        set_display_count(state, 1);
        if (!state.display_away_said)
            report("Zelvo cannot reach the display %s (%s) and counts one monitor until it can",
                   display.name().c_str(), display.failure().c_str());
        state.display_away_said = true;
        state.display_retry_seconds = std::clamp(state.display_retry_seconds * 2, 1, most_retry_seconds);
        arm_display_retry(state, timeval{state.display_retry_seconds, 0});
        return false;
    }
    state.display_away_said = false;
    state.display_retry_seconds = 0;
    event_del(state.display_retry.get());
    const int descriptor = display.descriptor();
    close_in_workers(descriptor);
    state.display_descriptor = descriptor;
    state.display_readable.reset(
        event_new(state.events->base.get(), descriptor, EV_READ | EV_PERSIST, on_display_readable, &state));
    if (!state.display_readable || event_add(state.display_readable.get(), nullptr) < 0) std::abort();
    return true;
}

// The display's monitors changed (or it came back): each monitor that it
// still has keeps its image and its schedule, a new one gets its image at
// once, and the viewer lays them out again.
void monitors_changed(DaemonState& state) {
    const std::vector<Monitor>& now = state.display->monitors();
    const std::vector<std::optional<std::size_t>> matched = monitors_matched(state.monitors, now);
    const std::vector<std::string>* shown = history_on_screen(state.shown);
    set_display_count(state, now.size());
    const std::size_t count = monitors_now(state);
    std::vector<std::optional<std::string>> keep(count);
    std::vector<Clock::time_point> next(count);
    const Clock::time_point moment = Clock::now();
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        const std::optional<std::size_t> before = monitor < matched.size() ? matched[monitor] : std::nullopt;
        if (before && shown != nullptr && *before < shown->size()) keep[monitor] = (*shown)[*before];
        next[monitor] = before && *before < state.monitor_next.size() ? state.monitor_next[*before]
                                                                        : moment + monitor_period(state, monitor);
    }
    state.monitors = now;
    report("Zelvo counts %zu %s on display %s", count, count == 1 ? "monitor" : "monitors",
           state.display->name().c_str());
    queue_changed(state);
    if (monitors_timed_apart(state)) {
        state.monitor_next = std::move(next);
        arm_monitor_timer(state);
    }
    if (state.quitting) return;
    change_monitors(state, std::move(keep), nullptr, true);
}

void take_display_events(DaemonState& state) {
    MonitorSource& display = *state.display;
    const bool news = display.take_events();
    if (!display.connected()) {
        report("Zelvo lost the display %s (%s) and counts one monitor until it is back", display.name().c_str(),
               display.failure().c_str());
        state.display_away_said = true;
        set_display_count(state, 1);
        queue_changed(state);
        if (monitors_timed_apart(state)) {
            fit_monitor_timers(state);
            arm_monitor_timer(state);
        }
        state.display_retry_seconds = 1;
        arm_display_retry(state, timeval{1, 0});
        return;
    }
    if (display.behind()) arm_display_retry(state, behind_retry);
    if (news) monitors_changed(state);
}

void on_display_readable(evutil_socket_t, short, void* argument) {
    take_display_events(*static_cast<DaemonState*>(argument));
}

void on_display_retry(evutil_socket_t, short, void* argument) {
    DaemonState& state = *static_cast<DaemonState*>(argument);
    if (!state.display) return;
    if (state.display->connected()) {
        take_display_events(state);
        return;
    }
    // Back: whatever it shows now is laid out afresh.
    if (reach_display(state)) monitors_changed(state);
}

// The images of every monitor for the viewer, after its fixed entries.
std::vector<char*> viewer_argv_for(DaemonState& state, std::vector<std::string>& images) {
    std::vector<char*> argv(state.viewer_argv.entries(), state.viewer_argv.entries() + 3);
    for (std::string& image : images) argv.push_back(image.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

bool monitors_timed_apart(const DaemonState& state) { return !state.options.config->per_monitor.empty(); }

StringNode* first_monitor_next(const DaemonState& state) {
    if (monitor_has_own_ring(state.options.monitor_rings, 0) && !state.group_places.empty())
        return state.group_places[0].current;
    return state.place.current;
}

bool change_monitors(DaemonState& state, std::vector<std::optional<std::string>> keep, const char* closing,
                     bool redraw) {
    const std::size_t count = monitors_now(state);
    keep.resize(count);
    const std::vector<std::string>* shown = history_on_screen(state.shown);
    const std::optional<std::string> first_before =
        shown != nullptr && !shown->empty() ? std::optional<std::string>(shown->front()) : std::nullopt;
    RunOptions& options = state.options;
    std::vector<std::optional<std::string>> taken =
        take_next_images(MonitorFeeds{options.ring, state.place, options.monitor_rings, state.group_places}, keep);
    bool wanted = false;
    bool fresh = false;
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        if (keep[monitor]) continue;
        wanted = true;
        fresh = fresh || taken[monitor].has_value();
    }
    // Every image is banned: the last stay on screen until a rescan or a reload brings others.
    if (wanted && !fresh && !redraw) {
        queue_changed(state);
        if (!state.said_empty) {
            report("Zelvo has no image left to show: a rescan or a reload may bring some");
            state.said_empty = true;
        }
        publish_status(state);
        if (closing != nullptr) log_notice(closing);
        return false;
    }
    // A monitor whose ring has nothing left keeps what it showed, or shows what another does.
    std::vector<std::string> images;
    images.reserve(count);
    const auto any = std::find_if(taken.begin(), taken.end(), [](const auto& image) { return image.has_value(); });
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        if (taken[monitor])
            images.push_back(*taken[monitor]);
        else if (shown != nullptr && monitor < shown->size())
            images.push_back((*shown)[monitor]);
        else if (any != taken.end())
            images.push_back(**any);
        else if (first_before)
            images.push_back(*first_before);
        else
            break;
    }
    if (images.size() < count) {
        queue_changed(state);
        return false;
    }
    // The palette follows the first monitor, and only when its image changes.
    const bool colours_stay = keep[0] && first_before && *keep[0] == *first_before;
    std::vector<char*> argv = viewer_argv_for(state, images);
    // The colours prepared for the first image are taken before those of the next ones are asked for.
    const bool begun = begin_change(state, argv.data(), colours_stay);
    queue_changed(state);
    if (!begun) {
        publish_status(state);
        if (closing != nullptr) log_notice(closing);
        return false;
    }
    if (closing != nullptr) state.change->closing.push_back(closing);
    history_record(state.shown, state.change->images);
    settle_change(state);
    return true;
}

void restart_monitor_timers(DaemonState& state, std::optional<std::size_t> only) {
    fit_monitor_timers(state);
    const Clock::time_point now = Clock::now();
    for (std::size_t monitor = 0; monitor < state.monitor_next.size(); ++monitor)
        if (!only || *only == monitor) state.monitor_next[monitor] = now + monitor_period(state, monitor);
    arm_monitor_timer(state);
}

void monitors_due_now(DaemonState& state) {
    fit_monitor_timers(state);
    const Clock::time_point now = Clock::now();
    const std::vector<bool> due = monitors_due(state.monitor_next, now);
    if (std::find(due.begin(), due.end(), true) == due.end()) {
        arm_monitor_timer(state);
        return;
    }
    std::vector<std::optional<std::string>> keep = on_screen_kept(state);
    for (std::size_t monitor = 0; monitor < due.size(); ++monitor) {
        if (!due[monitor]) continue;
        keep[monitor].reset();
        state.monitor_next[monitor] = next_change_after(state.monitor_next[monitor], monitor_period(state, monitor), now);
    }
    arm_monitor_timer(state);
    reach_display_before_change(state);
    change_monitors(state, std::move(keep), nullptr);
}

bool steer_next_monitor(DaemonState& state, std::size_t monitor) {
    report("Zelvo is skipping ahead on monitor %zu", monitor + 1);
    if (monitors_timed_apart(state)) restart_monitor_timers(state, monitor);
    std::vector<std::optional<std::string>> keep = on_screen_kept(state);
    keep[monitor].reset();
    return change_monitors(state, std::move(keep), nullptr);
}

bool steer_previous_monitor(DaemonState& state, std::size_t monitor) {
    ShownHistory& history = state.shown;
    const std::vector<std::string>* shown = history_on_screen(history);
    std::optional<std::string> earlier;
    if (shown != nullptr && monitor < shown->size()) {
        const std::string& present = (*shown)[monitor];
        for (std::size_t set = history.on_screen; set-- > 0 && !earlier;) {
            const std::vector<std::string>& images = history.sets[set];
            if (monitor < images.size() && images[monitor] != present && image_still_there(state, images[monitor]))
                earlier = images[monitor];
        }
    }
    if (!earlier) {
        report("Zelvo has nothing to go back to on monitor %zu", monitor + 1);
        return false;
    }
    report("Zelvo is going back on monitor %zu", monitor + 1);
    if (monitors_timed_apart(state)) restart_monitor_timers(state, monitor);
    std::vector<std::string> images = *shown;
    images.resize(monitors_now(state), images.front());
    images[monitor] = *earlier;
    std::vector<char*> argv = viewer_argv_for(state, images);
    if (!begin_change(state, argv.data(), monitor != 0)) {
        publish_status(state);
        return true;
    }
    // The set on screen is this one now; going back further walks on from it.
    history.sets[history.on_screen] = state.change->images;
    settle_change(state);
    return true;
}

void reshuffle_group_rings(DaemonState& state) {
    const bool by_name = state.options.config->by_name;
    for (std::size_t group = 0; group < state.group_places.size(); ++group) {
        RingPlace& place = state.group_places[group];
        if (place.current == nullptr) continue;
        const ImageRing& ring = state.options.monitor_rings[group];
        place = ring_place_start(ring, by_name ? ring.node() : ring_shuffle(place.current));
    }
}

void start_group_places(DaemonState& state) {
    state.group_places.clear();
    for (const ImageRing& ring : state.options.monitor_rings)
        state.group_places.push_back(ring_place_start(ring, ring.node()));
}

void connect_display(DaemonState& state) {
    drop_display(state);
    if (!display_wanted(state)) {
        state.options.display_monitors = 0;
        return;
    }
    const RunOptions& options = state.options;
    if (options.config->viewer == Viewer::swaybg)
        state.display = wayland_monitor_source(options.wayland_display.value_or(""));
    else
        state.display = x_monitor_source(options.display, options.xauthority);
    state.display->on_closing([&state](int descriptor) { unwatch_display(state, descriptor); });
    state.display_retry.reset(event_new(state.events->base.get(), -1, 0, on_display_retry, &state));
    if (!state.display_retry) std::abort();
    if (reach_display(state)) {
        state.monitors = state.display->monitors();
        set_display_count(state, state.monitors.size());
    }
}

void reach_display_before_change(DaemonState& state) {
    if (!state.display || state.display->connected() || state.quitting) return;
    if (!reach_display(state)) return;
    // What it has now is counted; the change that follows shows them all.
    state.monitors = state.display->monitors();
    set_display_count(state, state.monitors.size());
    queue_changed(state);
    if (monitors_timed_apart(state)) {
        fit_monitor_timers(state);
        arm_monitor_timer(state);
    }
}

void drop_display(DaemonState& state) {
    if (state.display) state.display->disconnect();
    state.display.reset();
    state.display_readable.reset();
    state.display_retry.reset();
    state.display_descriptor = -1;
    state.display_retry_seconds = 0;
    state.display_away_said = false;
}

std::vector<MonitorTiming> monitor_timings(const DaemonState& state) {
    const Config& config = *state.options.config;
    if (!config.monitors_auto && config.per_monitor.empty() && config.viewer != Viewer::swaybg) return {};
    const std::size_t count = monitors_now(state);
    const bool apart = monitors_timed_apart(state);
    const Clock::time_point now = Clock::now();
    std::vector<MonitorTiming> timings(count);
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        MonitorTiming& timing = timings[monitor];
        timing.interval = apart ? static_cast<std::uint32_t>(monitor_period(state, monitor).count())
                                : static_cast<std::uint32_t>(state.interval.tv_sec);
        if (state.paused) continue;
        if (!apart)
            timing.next_change = state.next_change;
        else if (monitor < state.monitor_next.size())
            timing.next_change = wall_time(state.monitor_next[monitor], now);
    }
    return timings;
}

}  // namespace zelvo
